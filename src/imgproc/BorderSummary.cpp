#include "imgproc/BorderSummary.h"

#include <cstdlib>

namespace Oskelo::CV::Native64::detail {
namespace {

// The 8 neighbours in counterclockwise order as seen on screen (rows grow downward), starting
// east: E, NE, N, NW, W, SW, S, SE.
constexpr int kRowStep[8] = {0, -1, -1, -1, 0, 1, 1, 1};
constexpr int kColStep[8] = {1, 1, 0, -1, -1, -1, 0, 1};
constexpr int kEast = 0;
constexpr int kWest = 4;

// One step of the counterclockwise search around a border pixel: the direction of the first
// object pixel after the previous one, and whether the east neighbour was passed as background
// on the way.
struct Step {
  unsigned char direction = 0;
  bool eastExamined = false;
};

// The search for every previous direction and every occupancy of the 8 neighbours (bit d set
// where neighbour d is an object pixel); the previous pixel itself is always occupied.
struct StepTable {
  Step next[8][256];
  constexpr StepTable() : next() {
    for (int back = 0; back < 8; ++back) {
      for (unsigned mask = 0; mask < 256; ++mask) {
        Step step;
        for (int k = 1; k <= 8; ++k) {
          const int d = (back + k) & 7;
          if (mask & (1u << d)) {
            step.direction = static_cast<unsigned char>(d);
            break;
          }
          if (d == kEast) step.eastExamined = true;
        }
        next[back][mask] = step;
      }
    }
  }
};
constexpr StepTable kSteps;

// Labels of the padded working image: 0 background, 1 unvisited object pixel, +-n a pixel on
// border n (negative where the border leaves the object eastward). Border 1 is the frame.
class BorderFollower {
 public:
  explicit BorderFollower(const cv::Mat& binary)
      : rows_(binary.rows + 2),
        cols_(binary.cols + 2),
        labels_(static_cast<std::size_t>(rows_) * static_cast<std::size_t>(cols_), 0),
        occupied_(labels_.size(), 0) {
    // Occupancy: 1 on object pixels inside a frame of zeros; labels: 1 on object pixels.
    cv::Mat occupied(rows_, cols_, CV_8UC1, occupied_.data());
    cv::Mat inner = occupied(cv::Rect(1, 1, binary.cols, binary.rows));
    cv::min(binary, 1, inner);
    cv::Mat labels(rows_, cols_, CV_32SC1, labels_.data());
    inner.convertTo(labels(cv::Rect(1, 1, binary.cols, binary.rows)), CV_32S);
    for (int d = 0; d < 8; ++d) offsets_[d] = kRowStep[d] * cols_ + kColStep[d];
    ComputeNeighbourhoods();
  }

  BorderSummary Run() {
    // Border numbers from 2 on; border 1 is the frame, a hole border with no parent.
    isHole_ = {false, true};
    parentOf_ = {-1, -1};
    lengthOf_ = {0, 0};
    // Borders can start only where a run of object pixels begins (outer borders, whose west
    // neighbour is background) or ends (hole borders, whose east neighbour is background), so the
    // scan visits the runs' ends only.
    for (int r = 1; r < rows_ - 1; ++r) {
      const unsigned char* occupied = &occupied_[Index(r, 0)];
      const std::size_t rowStart = Index(r, 0);
      int c = 1;
      const int end = cols_ - 1;
      for (;;) {
        while (c < end && occupied[c] == 0) ++c;
        if (c >= end) break;
        int last = c;
        while (occupied[last + 1] != 0) ++last;
        const std::size_t first = rowStart + static_cast<std::size_t>(c);
        const int value = labels_[first];
        if (value == 1) {
          StartBorder(first, /*hole=*/false, LastBorderBefore(first, rowStart));
        } else if (last == c && value >= 1) {
          StartBorder(first, /*hole=*/true, value > 1 ? value : LastBorderBefore(first, rowStart));
        }
        if (last != c) {
          const std::size_t p = rowStart + static_cast<std::size_t>(last);
          const int endValue = labels_[p];
          if (endValue >= 1) {
            StartBorder(p, /*hole=*/true, endValue > 1 ? endValue : LastBorderBefore(p, rowStart));
          }
        }
        c = last + 1;
      }
    }

    // Two-level form: each hole belongs to the outer border of its component.
    BorderSummary summary;
    const std::size_t count = lengthOf_.size() - 2;
    summary.lengths.assign(lengthOf_.begin() + 2, lengthOf_.end());
    summary.parents.resize(count, -1);
    for (std::size_t i = 0; i < count; ++i) {
      if (!isHole_[i + 2]) continue;
      int outer = parentOf_[i + 2];
      while (outer > 1 && isHole_[outer]) outer = parentOf_[outer];
      summary.parents[i] = outer > 1 ? outer - 2 : -1;
    }
    return summary;
  }

 private:
  // The number of the last border that a left-to-right scan of this row met before `pixel`: the
  // nearest pixel to the left on a border, or the frame. Labels left of the last border start
  // cannot have changed since the scan passed them, so looking back now sees what the scan saw.
  int LastBorderBefore(std::size_t pixel, std::size_t rowStart) const {
    for (std::size_t p = pixel - 1; p > rowStart; --p) {
      const int value = labels_[p];
      if (value != 0 && value != 1) return std::abs(value);
    }
    return 1;
  }

  // Numbers the border that starts at `pixel`, finds its parent from the last border met before
  // it (Suzuki and Abe's table: a border of the same kind shares that border's parent, a border of
  // the other kind lies inside it), and follows it.
  void StartBorder(std::size_t pixel, bool hole, int lastBorder) {
    const int nbd = static_cast<int>(lengthOf_.size());
    const int parent = (hole == isHole_[lastBorder]) ? parentOf_[lastBorder] : lastBorder;
    isHole_.push_back(hole);
    parentOf_.push_back(parent);
    lengthOf_.push_back(Follow(pixel, hole ? kEast : kWest, nbd));
  }

  std::size_t Index(int r, int c) const {
    return static_cast<std::size_t>(r) * static_cast<std::size_t>(cols_) +
           static_cast<std::size_t>(c);
  }

  // Follows the border through pixel `start`, whose zero neighbour lies in direction `from`, and
  // returns its number of points.
  int Follow(std::size_t start, int from, int nbd) {
    // Clockwise from `from` for the first object pixel.
    int first = -1;
    for (int k = 0; k < 8; ++k) {
      const int d = (from - k + 8) & 7;
      if (labels_[start + offsets_[d]] != 0) {
        first = d;
        break;
      }
    }
    if (first < 0) {  // an isolated pixel
      labels_[start] = -nbd;
      return 1;
    }
    const std::size_t firstPixel = start + offsets_[first];
    std::size_t current = start;
    int back = first;  // direction from `current` to the previous border pixel
    int length = 0;
    for (;;) {
      ++length;
      // Counterclockwise from just after the previous pixel for the next object pixel, read from
      // the table of the neighbourhood's occupancy.
      const Step& step = kSteps.next[back][Occupancy(current)];
      // Mark the pixel: -nbd where the border leaves the object eastward, nbd where it was
      // unvisited; written without branches, as the border's turns are unpredictable.
      const int old = labels_[current];
      const int marked = old == 1 ? nbd : old;
      labels_[current] = step.eastExamined ? -nbd : marked;
      const std::size_t next = current + offsets_[step.direction];
      if (next == start && current == firstPixel) return length;
      back = (step.direction + 4) & 7;  // seen from `next`, `current` lies opposite
      current = next;
    }
  }

  // For every pixel inside the frame, bit d set where its neighbour in direction d is an object
  // pixel. Computed for the whole image at once, row by row, in a form the compiler vectorises.
  void ComputeNeighbourhoods() {
    neighbourhoods_.assign(occupied_.size(), 0);
    for (int r = 1; r < rows_ - 1; ++r) {
      const unsigned char* up = &occupied_[Index(r - 1, 0)];
      const unsigned char* mid = &occupied_[Index(r, 0)];
      const unsigned char* down = &occupied_[Index(r + 1, 0)];
      unsigned char* out = &neighbourhoods_[Index(r, 0)];
      for (int c = 1; c < cols_ - 1; ++c) {
        out[c] = static_cast<unsigned char>(
            mid[c + 1] | (up[c + 1] << 1) | (up[c] << 2) | (up[c - 1] << 3) | (mid[c - 1] << 4) |
            (down[c - 1] << 5) | (down[c] << 6) | (down[c + 1] << 7));
      }
    }
  }

  unsigned Occupancy(std::size_t pixel) const { return neighbourhoods_[pixel]; }

  int rows_;
  int cols_;
  std::vector<int> labels_;
  std::vector<unsigned char> occupied_;        // 1 where labels_ is non-zero; never changes
  std::vector<unsigned char> neighbourhoods_;  // occupancy of each pixel's 8 neighbours
  std::vector<bool> isHole_;                   // per border number
  std::vector<int> parentOf_;                  // per border number
  std::vector<int> lengthOf_;                  // per border number
  std::ptrdiff_t offsets_[8] = {};
};

}  // namespace

BorderSummary SummarizeBorders(const cv::Mat& binary) {
  CV_Assert(binary.type() == CV_8UC1);
  return BorderFollower(binary).Run();
}

}  // namespace Oskelo::CV::Native64::detail
