#pragma once

#include <ostream>
#include <string>

namespace dotcal {

// A plain-text progress bar, "label [#####     ] 7/15", on the error stream. On a terminal it is
// redrawn in place after every step; elsewhere (a log, a pipe) it prints one line when the work is
// done, so that logs stay short.
class ProgressBar {
 public:
  // `interactive`: redraw in place after every step (true when the stream is a terminal).
  ProgressBar(std::ostream& stream, std::string label, int total, bool interactive);
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;
  ~ProgressBar();  // finishes the bar if Finish was not called

  void Advance();  // one more step done
  void Finish();   // ends the line; later calls do nothing

  // Whether the standard error stream is a terminal.
  static bool StderrIsTerminal();

 private:
  std::string Text() const;

  std::ostream& stream_;
  std::string label_;
  int total_;
  int done_ = 0;
  bool interactive_;
  bool finished_ = false;
};

}  // namespace dotcal
