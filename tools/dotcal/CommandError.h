#pragma once

#include <stdexcept>

// How a dotcal command ends: the exit status and the two kinds of failure it reports.
namespace dotcal {

// Exit statuses of every command.
enum ExitStatus : int {
  kExitSuccess = 0,
  kExitWorkFailed = 1,     // the inputs were read, but the work could not be done
  kExitUsage = 2,          // the command line is wrong or names inputs that do not exist
  kExitNoLongerFits = 3,   // validate: the calibration no longer fits the rig's images
  kExitInterrupted = 130,  // stopped by SIGINT (Ctrl-C) after writing what was done: 128 + 2
};

// The command line cannot be used as given: a missing file, a pattern that matches nothing,
// left and right lists that do not pair, an option value out of range. Exit status 2.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// An input was found but could not be used, or the work itself failed: an unreadable or
// malformed file, an image of the wrong size, no target, no usable pair. Exit status 1.
class WorkFailed : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The work was done, and its answer is that a stored calibration no longer fits the rig: the
// message says what probably happened. Exit status 3.
class NoLongerFits : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The user interrupted the command (SIGINT) and it stopped cleanly. Exit status 130.
class Interrupted : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace dotcal
