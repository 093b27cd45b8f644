#include "imgproc/ThresholdStateMachine.h"

#include <climits>

namespace Oskelo::CV::Native64::detail {
namespace {

enum ThresholdState { kTracking = 0, kBrightnessRetry = 1, kOtsuRetry = 2, kWholeFrame = 3 };

constexpr int kStreakStart = 10;      // counter after the first success of a streak
constexpr int kStreakCeiling = 1000;  // a longer streak folds back ...
constexpr int kStreakRestart = 15;    // ... to this value
constexpr int kLongStreak = 12;       // a loss after more than this many successes retries locally
constexpr int kRetryCalls = 4;        // calls spent in each retry state

}  // namespace

void AdvanceOnSuccess(ImageProcessorSettings& settings) {
  settings.thresholdState = kTracking;
  if (settings.stateCounter < kStreakStart) {
    settings.stateCounter = kStreakStart;
  } else if (settings.stateCounter > kStreakCeiling) {
    settings.stateCounter = kStreakRestart;
  } else {
    ++settings.stateCounter;
  }
}

void AdvanceOnFailure(ImageProcessorSettings& settings) {
  int& state = settings.thresholdState;
  int& counter = settings.stateCounter;
  if (state == kTracking) {
    if (counter > kLongStreak) {
      state = kBrightnessRetry;
      counter = kRetryCalls;
    } else {
      state = kWholeFrame;
      counter = 0;
    }
  } else if (state == kBrightnessRetry && counter == 1) {
    state = kOtsuRetry;
    counter = kRetryCalls;
  } else if (state == kOtsuRetry && counter == 1) {
    state = kWholeFrame;
    counter = 0;
  } else if (counter > INT_MIN) {  // in state 3 the counter runs down without end
    --counter;
  }
}

}  // namespace Oskelo::CV::Native64::detail
