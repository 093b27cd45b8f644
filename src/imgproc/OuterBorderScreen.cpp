#include "imgproc/OuterBorderScreen.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <opencv2/imgproc.hpp>

namespace Oskelo::CV::Native64::detail {
namespace {

// Candidates whose bounding rectangle covers more than this share of the image are not examined
// alone.
constexpr double kLargeBoxShare = 16.0;

// Whether the component through `seed` of `binary` (0 and 1) is a box the box search accepts.
// Its borders are those of the image that holds it alone, since no other object pixel touches it.
bool IsBox(cv::Mat& binary, cv::Point seed, const BoxGeometry& geometry, int dotCount,
           BorderScratch& scratch) {
  constexpr int kComponent = 2;
  cv::floodFill(binary, seed, kComponent, nullptr, 0, 0, 8);
  const BorderSummary borders = SummarizeBordersAbove(binary, kComponent - 1, {}, scratch);
  if (borders.contourOrder.empty()) return false;
  const double boxLength = borders.lengths[static_cast<std::size_t>(borders.contourOrder[0])];
  if (!BoxLengthFits(geometry, boxLength)) return false;
  const DotWindow window = DotWindowFor(geometry, boxLength);
  int holes = 0, dots = 0;
  for (std::size_t i = 0; i < borders.lengths.size(); ++i) {
    if (borders.parents[i] < 0) continue;
    ++holes;
    if (DotLengthFits(window, borders.lengths[i])) ++dots;
  }
  return holes > 0 && dots == dotCount;
}

}  // namespace

bool OuterBorderScreen::MayHoldBox(const cv::Mat& grey, int threshold, const BoxGeometry& geometry,
                                   int dotCount, BorderScratch& borders) {
  CV_Assert(grey.type() == CV_8UC1 && grey.dims == 2);
  // Pixel and hole counts are kept in 32 bits.
  CV_Assert(static_cast<double>(grey.total()) <= std::numeric_limits<std::uint32_t>::max());
  Label(grey, threshold);
  const std::vector<Candidate> candidates = Candidates(geometry, dotCount);
  if (candidates.empty()) return false;
  const double largeBox = static_cast<double>(grey.total()) / kLargeBoxShare;
  const int longest = geometry.maxBoxLength < std::numeric_limits<int>::max()
                          ? static_cast<int>(std::ceil(geometry.maxBoxLength))
                          : std::numeric_limits<int>::max();
  for (const Candidate& candidate : candidates) {
    // The component's borders lie within its bounding rectangle, and every object pixel next to
    // them is its own, so they are followed there alone.
    const cv::Mat part = grey(candidate.box);
    const cv::Point first = candidate.first - candidate.box.tl();
    // A border as long as the longest box is long enough: its following stops there.
    const int length = OuterBorderLength(part, threshold, first, borders, longest);
    if (!BoxLengthFits(geometry, length)) continue;
    // A component as large as the plate is left to the full search, which costs no more.
    if (static_cast<double>(candidate.box.area()) > largeBox) return true;
    cv::Mat binary;
    cv::threshold(part, binary, threshold, 1, cv::THRESH_BINARY);
    if (IsBox(binary, first, geometry, dotCount, borders)) return true;
  }
  return false;
}

// The first pixels of the components with enough holes for a box whose bounds admit a box's
// length (a NaN bound admits none, as BoxLengthFits accepts no length then). A box has at least
// one hole, and at least one per dot.
std::vector<OuterBorderScreen::Candidate> OuterBorderScreen::Candidates(const BoxGeometry& geometry,
                                                                        int dotCount) const {
  const double fewestHoles = std::max(dotCount, 1);
  std::vector<Candidate> found;
  const std::size_t started = parents_.size();
  for (std::size_t id = 0; id < started; ++id) {
    const Component& c = components_[id];
    if (c.holes < fewestHoles || parents_[id] != static_cast<int>(id)) continue;
    const double extent = std::max(c.bottom - c.firstRow, c.right - c.left);
    if (geometry.minBoxLength < 8.0 * static_cast<double>(c.pixels) &&
        2.0 * extent < geometry.maxBoxLength) {
      found.push_back({{c.firstColumn, c.firstRow},
                       {c.left, c.firstRow, c.right - c.left + 1, c.bottom - c.firstRow + 1}});
    }
  }
  return found;
}

void OuterBorderScreen::Label(const cv::Mat& grey, int threshold) {
  parents_.clear();
  components_.clear();
  // A row holds at most one run per two columns, rounded up.
  const auto room = static_cast<std::size_t>(grey.cols / 2 + 1);
  for (RowRuns* runs : {&previous_, &current_}) {
    if (runs->bits.cols() != grey.cols) runs->bits = RowBits(grey.cols);
    runs->firsts.resize(room);
    runs->lasts.resize(room);
    runs->ids.resize(room);
  }
  previous_.count = 0;
  for (int r = 0; r < grey.rows; ++r) {
    current_.bits.ReadAbove(grey.ptr<unsigned char>(r), threshold);
    LabelRow(r);
    std::swap(previous_, current_);
  }
}

// The runs of object pixels of row r (read into current_.bits) into current_, each joined to the
// runs of the previous row it touches, diagonals included (8-connectivity). A run that touches
// none starts a component.
__attribute__((target_clones("popcnt", "default"))) void OuterBorderScreen::LabelRow(int r) {
  const int count = current_.bits.Runs(current_.firsts.data(), current_.lasts.data());
  current_.count = count;
  const int* firsts = current_.firsts.data();
  const int* lasts = current_.lasts.data();
  int* ids = current_.ids.data();
  const RowBits& above = previous_.bits;
  const int* aboveIds = previous_.ids.data();
  const bool noneAbove = previous_.count == 0;  // (the bits above may be a past image's)
  for (int i = 0; i < count; ++i) {
    const int start = firsts[i], last = lasts[i];
    // The runs above that touch this one: those that end at start - 1 or later and start at
    // last + 1 or earlier, counted from the rows' run ends.
    const int from = noneAbove ? 0 : above.RunsEndingBefore(std::max(start - 1, 0));
    const int to = noneAbove ? 0 : above.RunsStartingBefore(last + 2);
    if (from < to) {
      const int id = Root(aboveIds[from]);
      Component& joined = components_[static_cast<std::size_t>(id)];
      joined.pixels += static_cast<std::uint32_t>(last - start + 1);
      joined.bottom = r;
      joined.left = std::min(joined.left, start);
      joined.right = std::max(joined.right, last);
      for (int k = from + 1; k < to; ++k) Unite(id, aboveIds[k]);
      ids[i] = id;
    } else {
      const int id = static_cast<int>(parents_.size());
      parents_.push_back(id);
      components_.push_back(
          {static_cast<std::uint32_t>(last - start + 1), 0, r, start, r, start, last});
      ids[i] = id;
    }
  }
}

int OuterBorderScreen::Root(int id) {
  while (parents_[static_cast<std::size_t>(id)] != id) {
    int& parent = parents_[static_cast<std::size_t>(id)];
    parent = parents_[static_cast<std::size_t>(parent)];  // path halving
    id = parent;
  }
  return id;
}

// Joins the components of two touching runs. A touch within one component closes a cycle of
// runs, which encloses one more hole: for 8-connected objects, a component's runs and touches
// form a graph whose independent cycles are its holes. The earlier root survives, so a root stays
// the component that started first in raster order.
void OuterBorderScreen::Unite(int a, int b) {
  int ra = Root(a), rb = Root(b);
  if (ra == rb) {
    ++components_[static_cast<std::size_t>(ra)].holes;
    return;
  }
  if (rb < ra) std::swap(ra, rb);
  parents_[static_cast<std::size_t>(rb)] = ra;
  Component& into = components_[static_cast<std::size_t>(ra)];
  const Component& from = components_[static_cast<std::size_t>(rb)];
  into.pixels += from.pixels;
  into.holes += from.holes;
  into.bottom = std::max(into.bottom, from.bottom);
  into.left = std::min(into.left, from.left);
  into.right = std::max(into.right, from.right);
}

}  // namespace Oskelo::CV::Native64::detail
