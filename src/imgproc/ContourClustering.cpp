#include "imgproc/ContourClustering.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <opencv2/imgproc.hpp>

namespace Oskelo::CV::Native64::detail {
namespace {

// Box lengths relative to the nominal perimeter: the window and its middle are given for a
// perimeter of 224 pattern units and scale with it.
constexpr double kReferencePerimeter = 224.0;
constexpr double kMinBoxFactor = 150.0;
constexpr double kIdealBoxFactor = 300.0;
constexpr double kMaxBoxFactor = 600.0;

// Bounds included; the far edges are computed in 64 bits, so that any rectangle a caller passes
// is compared without overflow.
bool TouchesExclusion(const std::vector<cv::Point>& contour,
                      const std::vector<cv::Rect>& exclusions) {
  for (const cv::Rect& r : exclusions) {
    const long long right = static_cast<long long>(r.x) + r.width;
    const long long bottom = static_cast<long long>(r.y) + r.height;
    for (const cv::Point& p : contour) {
      if (r.x <= p.x && p.x <= right && r.y <= p.y && p.y <= bottom) return true;
    }
  }
  return false;
}

// Scores beyond this (from a box or dot window that settings far from any real target make huge,
// infinite or undefined) are no score at all.
constexpr double kLargestScore = 1e18;

// A score truncated toward zero, in 64 bits; one beyond kLargestScore becomes kNoScore, which no
// box beats.
Score TruncatedScore(double score) {
  if (!(score > -kLargestScore && score < kLargestScore)) return kNoScore;
  return static_cast<Score>(score);
}

}  // namespace

BoxGeometry ExpectedBoxGeometry(int dotCount, int gridRows, int gridColumns, double dotSpacing,
                                double dotDiameter, double sizeScale) {
  const double rows = gridRows, columns = gridColumns, s = dotSpacing;
  BoxGeometry g;
  double perimeter = 0.0;
  // Box perimeter in pattern units: single dots and triples sit in wider boxes, small trackers
  // carry one spacing of margin around their dots, plates half a spacing.
  if (dotCount == 1) {
    perimeter = 2.5 * (rows * s + columns * s);
    g.lowFactor = 0.5;
    g.highFactor = 2.5;
  } else if (dotCount == 3) {
    perimeter = 2.0 * (rows * s + columns * s);
    g.lowFactor = 0.5;
    g.highFactor = 2.5;
  } else if (dotCount < 10) {
    perimeter = 2.0 * ((rows + 1.0) * s + (columns + 1.0) * s);
    g.lowFactor = 0.3;
    g.highFactor = 2.2;
  } else {
    perimeter = 2.0 * ((rows + 0.5) * s + (columns + 0.5) * s);
    g.lowFactor = 0.5;
    g.highFactor = 1.5;
  }
  const double t = perimeter / kReferencePerimeter;
  g.minBoxLength = t * kMinBoxFactor * sizeScale;
  g.maxBoxLength = t * kMaxBoxFactor * sizeScale;
  g.idealBoxLength = t * kIdealBoxFactor * sizeScale;
  g.dotRatio = dotDiameter * CV_PI / perimeter;
  return g;
}

bool BoxLengthFits(const BoxGeometry& geometry, double boxLength) {
  return geometry.minBoxLength < boxLength && boxLength < geometry.maxBoxLength;
}

DotWindow DotWindowFor(const BoxGeometry& geometry, double boxLength) {
  DotWindow window;
  window.low = boxLength * geometry.dotRatio * geometry.lowFactor;
  window.high = boxLength * geometry.dotRatio * geometry.highFactor;
  window.expected = (window.low + window.high) / 2.0;
  return window;
}

bool DotLengthFits(const DotWindow& window, double dotLength) {
  return window.low < dotLength && dotLength < window.high;
}

Score AddDotScore(Score dotScore, double dotLength, const DotWindow& window) {
  return TruncatedScore(static_cast<double>(dotScore) + std::abs(dotLength - window.expected));
}

Score BoxScore(const BoxGeometry& geometry, double boxLength, Score dotScore) {
  return TruncatedScore(std::abs(boxLength - geometry.idealBoxLength) +
                        static_cast<double>(dotScore));
}

namespace {

// The two-level hierarchy of cv::findContours (cv::RETR_CCOMP) as the box search reads it.
class ContourTree {
 public:
  ContourTree(const std::vector<std::vector<cv::Point>>& contours,
              const std::vector<cv::Vec4i>& hierarchy)
      : contours_(contours),
        hierarchy_(hierarchy),
        count_(static_cast<int>(std::min(contours.size(), hierarchy.size()))) {}
  int Count() const { return count_; }
  bool HasHoles(int m) const { return hierarchy_[m][2] >= 0; }
  // The first hole of contour m, the hole after hole c; -1 for none.
  int FirstHole(int m) const { return Valid(hierarchy_[m][2]); }
  int NextHole(int c) const { return Valid(hierarchy_[c][0]); }
  double Length(int i) const { return static_cast<double>(contours_[i].size()); }
  bool Touches(int c, const std::vector<cv::Rect>& exclusions) const {
    return !exclusions.empty() && TouchesExclusion(contours_[c], exclusions);
  }

 private:
  int Valid(int i) const { return i >= 0 && i < count_ ? i : -1; }
  const std::vector<std::vector<cv::Point>>& contours_;
  const std::vector<cv::Vec4i>& hierarchy_;
  int count_;
};

// The same hierarchy from a border summary, indexed in its contour order: each outer border is
// followed by its holes.
class SummaryTree {
 public:
  explicit SummaryTree(const BorderSummary& borders) : borders_(borders) {}
  int Count() const { return static_cast<int>(borders_.contourOrder.size()); }
  bool HasHoles(int m) const { return FirstHole(m) >= 0; }
  int FirstHole(int m) const { return HoleOf(m + 1, Border(m)); }
  int NextHole(int c) const { return HoleOf(c + 1, Parent(c)); }
  double Length(int i) const { return borders_.lengths[static_cast<std::size_t>(Border(i))]; }
  bool Touches(int, const std::vector<cv::Rect>& exclusions) const {
    CV_Assert(exclusions.empty());  // a summary keeps no points to test
    return false;
  }

 private:
  int Border(int i) const { return borders_.contourOrder[static_cast<std::size_t>(i)]; }
  int Parent(int i) const { return borders_.parents[static_cast<std::size_t>(Border(i))]; }
  int HoleOf(int i, int box) const { return i < Count() && Parent(i) == box ? i : -1; }
  const BorderSummary& borders_;
};

template <class Tree>
int ChooseBox(const Tree& tree, std::vector<int>& indices, const std::vector<cv::Rect>& exclusions,
              const BoxGeometry& geometry, int dotCount, bool debug) {
  Score bestScore = kNoScore;
  int bestBox = -1;
  std::vector<int> dots;
  for (int m = 0; m < tree.Count(); ++m) {
    if (!tree.HasHoles(m)) continue;  // not a box
    const double boxLength = tree.Length(m);
    if (debug) {
      std::printf("found a big box- min box area: %f, max box area: %f, box area: %f\n",
                  geometry.minBoxLength, geometry.maxBoxLength, boxLength);
      std::fflush(stdout);
    }
    if (!BoxLengthFits(geometry, boxLength)) continue;

    const DotWindow window = DotWindowFor(geometry, boxLength);

    dots.clear();
    Score errorSum = 0;
    for (int c = tree.FirstHole(m); c >= 0; c = tree.NextHole(c)) {
      const double dotLength = tree.Length(c);
      if (debug) {
        std::printf("\t found a dot- min dot area: %f, max dot area: %f, dot area: %f \n",
                    window.low, window.high, dotLength);
        std::fflush(stdout);
      }
      if (!DotLengthFits(window, dotLength)) continue;
      if (tree.Touches(c, exclusions)) {
        dots.clear();
        errorSum = 0;
        continue;
      }
      dots.push_back(c);
      errorSum = AddDotScore(errorSum, dotLength, window);
      if (debug) std::cout << "\t\t good dot found #" << dots.size() << std::endl;
    }

    if (static_cast<int>(dots.size()) != dotCount) continue;
    if (debug) std::cout << "YES! found all normal tracker dots" << indices.size() << std::endl;
    const Score score = BoxScore(geometry, boxLength, errorSum);
    if (score < bestScore) {
      bestScore = score;
      bestBox = m;
      indices = dots;
    }
  }
  if (debug && bestBox < 0) std::cout << "Target not found" << std::endl;
  return bestBox;
}

}  // namespace

int FindClusterWithHoles(const std::vector<std::vector<cv::Point>>& contours,
                         const std::vector<cv::Vec4i>& hierarchy, std::vector<int>& indices,
                         const std::vector<cv::Rect>& exclusions, const BoxGeometry& geometry,
                         int dotCount, bool debug) {
  return ChooseBox(ContourTree(contours, hierarchy), indices, exclusions, geometry, dotCount,
                   debug);
}

int FindClusterWithHoles(const BorderSummary& borders, std::vector<int>& indices,
                         const BoxGeometry& geometry, int dotCount) {
  return ChooseBox(SummaryTree(borders), indices, {}, geometry, dotCount, false);
}

double DotAreaLimit(double dotSpacing, int gridColumns, int imageWidth, int imageHeight) {
  const long long imageArea = static_cast<long long>(imageHeight) * imageWidth;
  return (dotSpacing * 2.0 * gridColumns + 1.0) * static_cast<double>(imageArea);
}

bool FindClusterWithoutHoles(const std::vector<std::vector<cv::Point>>& contours,
                             std::vector<int>& indices, double areaLimit, int dotCount) {
  constexpr bool kOriented = false;  // unsigned areas, whatever the contour's turning sense
  for (int i = 0; i < static_cast<int>(contours.size()); ++i) {
    const double area = cv::contourArea(contours[i], kOriented);
    if (area > 0.0 && area < areaLimit) indices.push_back(i);
  }
  if (static_cast<int>(indices.size()) == dotCount) return true;
  indices.clear();
  return false;
}

bool ContourMeanGrey(const cv::Mat& img, std::vector<cv::Point> contour, int& mean) {
  CV_Assert(img.type() == CV_8UC1);
  std::sort(contour.begin(), contour.end(), [](const cv::Point& a, const cv::Point& b) {
    return a.y != b.y ? a.y < b.y : a.x < b.x;
  });

  long long sum = 0, count = 0;
  const auto addSpan = [&](int row, int lo, int hi) {
    if (row < 0 || row >= img.rows) return;
    lo = std::max(lo, 0);
    hi = std::min(hi, img.cols);
    const std::uint8_t* pixels = img.ptr<std::uint8_t>(row);
    for (int x = lo; x < hi; ++x) sum += pixels[x];
    count += std::max(hi - lo, 0);
  };

  int row = 0, lo = 0, hi = 0;  // the open span; row 0 starts open
  for (const cv::Point& p : contour) {
    if (p.y == row) {
      lo = std::min(lo, p.x);
      hi = std::max(hi, p.x);
      continue;
    }
    if (row > 0) addSpan(row, lo, hi);
    row = p.y;
    lo = hi = p.x;
  }
  addSpan(row, lo, hi);

  if (count == 0) return false;
  mean = static_cast<int>(sum / count);
  return true;
}

}  // namespace Oskelo::CV::Native64::detail
