#include "reports/ProgressBar.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <utility>

namespace dotcal {
namespace {

constexpr int kBarWidth = 30;  // characters between the brackets

}  // namespace

ProgressBar::ProgressBar(std::ostream& stream, std::string label, int total, bool interactive)
    : stream_(stream),
      label_(std::move(label)),
      total_(std::max(total, 0)),
      interactive_(interactive) {
  if (interactive_) stream_ << '\r' << Text() << std::flush;
}

ProgressBar::~ProgressBar() { Finish(); }

void ProgressBar::Advance() {
  if (finished_) return;
  done_ = std::min(done_ + 1, total_);
  if (interactive_) stream_ << '\r' << Text() << std::flush;
}

void ProgressBar::Finish() {
  if (finished_) return;
  finished_ = true;
  if (interactive_) {
    stream_ << '\n' << std::flush;
  } else {
    stream_ << Text() << '\n' << std::flush;
  }
}

bool ProgressBar::StderrIsTerminal() { return isatty(fileno(stderr)) == 1; }

std::string ProgressBar::Text() const {
  const int filled = total_ > 0 ? done_ * kBarWidth / total_ : kBarWidth;
  return label_ + " [" + std::string(filled, '#') + std::string(kBarWidth - filled, ' ') + "] " +
         std::to_string(done_) + "/" + std::to_string(total_);
}

}  // namespace dotcal
