#include <gtest/gtest.h>

#include <sstream>

#include "reports/ProgressBar.h"

namespace {

TEST(ProgressBar, LogsGetOneLineWhenTheWorkIsDone) {
  std::ostringstream log;
  {
    dotcal::ProgressBar bar(log, "pairs", 3, false);
    bar.Advance();
    bar.Advance();
    EXPECT_EQ(log.str(), "");
    bar.Advance();
    bar.Advance();  // one step too many stays at the total
  }
  EXPECT_EQ(log.str(), "pairs [" + std::string(30, '#') + "] 3/3\n");
}

TEST(ProgressBar, TerminalsSeeTheBarRedrawnInPlace) {
  std::ostringstream terminal;
  dotcal::ProgressBar bar(terminal, "frames", 2, true);
  bar.Advance();
  bar.Finish();
  bar.Finish();  // finishing twice ends the line once
  EXPECT_EQ(terminal.str(), "\rframes [" + std::string(30, ' ') + "] 0/2" +  //
                                "\rframes [" + std::string(15, '#') + std::string(15, ' ') +
                                "] 1/2\n");
}

}  // namespace
