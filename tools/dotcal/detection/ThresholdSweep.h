#pragma once

#include <vector>

namespace dotcal {

// The thresholds at which the calibration searches every image: 20 to 215 in steps of 5 grey
// levels. The tool sweeps single images the same way.
inline const std::vector<int>& SweepThresholds() {
  static const std::vector<int> thresholds = [] {
    std::vector<int> list;
    for (int t = 20; t <= 215; t += 5) list.push_back(t);
    return list;
  }();
  return thresholds;
}

}  // namespace dotcal
