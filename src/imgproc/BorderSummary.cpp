#include "imgproc/BorderSummary.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "imgproc/RowBits.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace Oskelo::CV::Native64::detail {
namespace {

// The 8 neighbours in counterclockwise order as seen on screen (rows grow downward), starting
// east: E, NE, N, NW, W, SW, S, SE.
constexpr int kRowStep[8] = {0, -1, -1, -1, 0, 1, 1, 1};
constexpr int kColStep[8] = {1, 1, 0, -1, -1, -1, 0, 1};
constexpr int kEast = 0;
constexpr int kWest = 4;
constexpr int kFrame = 1;  // the number of the image frame's border

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

}  // namespace

// The padded working images: a frame of background around the image. Labels are 0 where no
// border passed and +-n on border n (negative where the border leaves the object eastward); they
// are all 0 again when a summary is done, whatever size the next image has.
struct BorderScratch::Buffers {
  std::vector<int> labels;
  std::vector<std::uint32_t> touched;         // the labels the running summary wrote, each once
  std::vector<unsigned char> occupied;        // 1 on object pixels, 0 elsewhere and on the frame
  std::vector<unsigned char> neighbourhoods;  // occupancy of each pixel's 8 neighbours
};

BorderScratch::BorderScratch() : buffers_(std::make_unique<Buffers>()) {}
BorderScratch::~BorderScratch() = default;

namespace {

// One step of the border following in the padded image, forward (from a pixel entered from a
// known neighbour) or backward (from a pixel whose successor lies in a known direction): the
// offset, row and column steps to the pixel stepped to, the step's `direction`, the direction
// `next` that the step to take from there starts from (back to this pixel), and whether this
// pixel's forward step passed its east neighbour as background.
struct Move {
  std::int32_t offset = 0;
  std::int8_t rowStep = 0;
  std::int8_t colStep = 0;
  std::uint8_t direction = 0;
  std::uint8_t next = 0;
  std::uint8_t eastExamined = 0;
};

// The move in `direction`, but for its offset, which depends on the image's row length.
Move MoveTo(int direction, bool eastExamined) {
  Move move;
  move.rowStep = static_cast<std::int8_t>(kRowStep[direction]);
  move.colStep = static_cast<std::int8_t>(kColStep[direction]);
  move.direction = static_cast<std::uint8_t>(direction);
  move.next = static_cast<std::uint8_t>((direction + 4) & 7);
  move.eastExamined = eastExamined ? 1 : 0;
  return move;
}

// The moves forward and backward for every direction and neighbourhood, but for the offsets;
// built once.
struct MoveTemplates {
  Move forward[8][256];
  Move backward[8][256];
};

const MoveTemplates& Templates() {
  static const MoveTemplates templates = [] {
    MoveTemplates t{};
    for (int back = 0; back < 8; ++back) {
      for (int mask = 0; mask < 256; ++mask) {
        const Step& step = kSteps.next[back][mask];
        t.forward[back][mask] = MoveTo(step.direction, step.eastExamined);
      }
    }
    // Backward: the forward step reaches its successor counterclockwise from the predecessor
    // with background between, so the predecessor is the first object neighbour clockwise from
    // the successor (the successor itself when it is the only one).
    for (int ahead = 0; ahead < 8; ++ahead) {
      for (int mask = 0; mask < 256; ++mask) {
        int back = ahead;
        for (int k = 1; k <= 8; ++k) {
          const int d = (ahead - k + 8) & 7;
          if (mask & (1 << d)) {
            back = d;
            break;
          }
        }
        t.backward[ahead][mask] = MoveTo(back, kSteps.next[back][mask].eastExamined);
      }
    }
    return t;
  }();
  return templates;
}

// The pixels of `grey` above `threshold` as 1, the others 0, into `occupied`: rows of
// grey.cols + 2 bytes, with a frame of 0 around the image. Cloned for AVX2, which binarises twice
// the pixels per instruction where the processor has it.
__attribute__((target_clones("avx2", "default"))) void BinariseFramed(const cv::Mat& grey,
                                                                      int threshold,
                                                                      unsigned char* occupied) {
  const std::size_t cols = static_cast<std::size_t>(grey.cols) + 2;
  std::fill(occupied, occupied + cols, 0);
  unsigned char* lastRow = occupied + (static_cast<std::size_t>(grey.rows) + 1) * cols;
  std::fill(lastRow, lastRow + cols, 0);
  for (int r = 0; r < grey.rows; ++r) {
    unsigned char* row = occupied + (static_cast<std::size_t>(r) + 1) * cols;
    row[0] = 0;
    BinariseRow(grey.ptr<unsigned char>(r), threshold, grey.cols, row + 1);
    row[cols - 1] = 0;
  }
}

class BorderFollower {
 public:
  // The object pixels are those of `grey` above `threshold`.
  BorderFollower(const cv::Mat& grey, int threshold, BorderScratch::Buffers& buffers)
      : rows_(grey.rows + 2),
        cols_(grey.cols + 2),
        pixels_(static_cast<std::size_t>(rows_) * static_cast<std::size_t>(cols_)),
        b_(buffers) {
    const std::size_t size = pixels_;
    CV_Assert(size <= std::numeric_limits<std::uint32_t>::max());
    if (b_.labels.size() < size) b_.labels.resize(size, 0);
    if (b_.occupied.size() < size) b_.occupied.resize(size);
    FillOccupancy(grey, threshold);
    // The moves of this image: the template's, with the offsets of its row length.
    for (int d = 0; d < 8; ++d) offsets_[d] = kRowStep[d] * cols_ + kColStep[d];
    const MoveTemplates& templates = Templates();
    std::memcpy(moves_, templates.forward, sizeof moves_);
    std::memcpy(backMoves_, templates.backward, sizeof backMoves_);
    for (int from = 0; from < 8; ++from) {
      for (int mask = 0; mask < 256; ++mask) {
        for (Move* move : {&moves_[from][mask], &backMoves_[from][mask]})
          move->offset = static_cast<std::int32_t>(offsets_[move->direction]);
      }
    }
  }

  ~BorderFollower() { ClearLabels(); }
  BorderFollower(const BorderFollower&) = delete;
  BorderFollower& operator=(const BorderFollower&) = delete;

  BorderSummary Run(cv::Point offset) {
    // Border numbers from 2 on; border 1 is the frame, a hole border with no parent.
    borders_.assign(2, Border{});
    borders_[kFrame].hole = true;
    // Borders can start only where a run of object pixels begins (outer borders, whose west
    // neighbour is background) or ends (hole borders, whose east neighbour is background), so the
    // scan visits the runs' ends only.
    const unsigned char* occupied = b_.occupied.data();
    const int* labels = b_.labels.data();
    RowBits bits(cols_);
    const auto room = static_cast<std::size_t>(cols_ / 2 + 1);
    std::vector<int> firsts(room), lasts(room);
    for (int r = 1; r < rows_ - 1; ++r) {
      const std::size_t rowStart = Index(r, 0);
      bits.Read(occupied + rowStart);
      const int runs = bits.Runs(firsts.data(), lasts.data());
      for (int i = 0; i < runs; ++i) {
        const int c = firsts[static_cast<std::size_t>(i)];
        const int last = lasts[static_cast<std::size_t>(i)];
        const std::size_t first = rowStart + static_cast<std::size_t>(c);
        const int value = labels[first];
        if (value == 0) {
          // The parent of an outer border does not enter the two-level form (a hole's parent is
          // found from the borders on its own run), so the search for it is left out.
          StartBorder(first, /*hole=*/false, kFrame);
        } else if (last == c && value > 0) {
          StartBorder(first, /*hole=*/true, value);
        }
        if (last != c) {
          const std::size_t p = rowStart + static_cast<std::size_t>(last);
          const int endValue = labels[p];
          if (endValue >= 0) {
            StartBorder(p, /*hole=*/true, endValue > 0 ? endValue : LastBorderBefore(p, rowStart));
          }
        }
      }
    }
    return Summary(offset);
  }

  // The points of the outer border that starts at pixel (row, col) of the image, the first
  // object pixel of its component in raster order.
  int OuterLength(int row, int col, int limit) {
    cv::Rect box;
    return Follow<false>(Index(row + 1, col + 1), kWest, 2, box, limit);
  }

 private:
  struct Border {
    int parent = -1;
    int length = 0;
    cv::Rect box;
    bool hole = false;
  };

  // Object pixels: above the threshold, as cv::threshold binarises 8-bit images (1 for object),
  // inside a frame of background.
  void FillOccupancy(const cv::Mat& grey, int threshold) {
    BinariseFramed(grey, threshold, b_.occupied.data());
  }

  // Sets every label written back to 0.
  void ClearLabels() {
    int* labels = b_.labels.data();
    const std::uint32_t* touched = b_.touched.data();
    for (std::size_t i = 0; i < touchedCount_; ++i) labels[touched[i]] = 0;
  }

  // Two-level form: each hole belongs to the outer border of its component; and the order of
  // cv::findContours.
  BorderSummary Summary(cv::Point offset) const {
    BorderSummary summary;
    const std::size_t count = borders_.size() - 2;
    summary.lengths.resize(count);
    summary.boxes.resize(count);
    summary.parents.resize(count, -1);
    std::vector<int> holeCount(count, 0);
    for (std::size_t i = 0; i < count; ++i) {
      const Border& border = borders_[i + 2];
      summary.lengths[i] = border.length;
      summary.boxes[i] = border.box + offset;
      if (!border.hole) continue;
      int outer = border.parent;
      while (outer > 1 && borders_[static_cast<std::size_t>(outer)].hole)
        outer = borders_[static_cast<std::size_t>(outer)].parent;
      summary.parents[i] = outer > 1 ? outer - 2 : -1;
      if (summary.parents[i] >= 0) ++holeCount[static_cast<std::size_t>(summary.parents[i])];
    }
    // Holes grouped by their outer border, each group in the order met.
    std::vector<int> groupStart(count + 1, 0);
    for (std::size_t i = 0; i < count; ++i) groupStart[i + 1] = groupStart[i] + holeCount[i];
    std::vector<int> filled(groupStart.begin(), groupStart.end() - 1);
    std::vector<int> holes(static_cast<std::size_t>(groupStart[count]));
    for (std::size_t i = 0; i < count; ++i) {
      const int parent = summary.parents[i];
      if (parent >= 0) holes[static_cast<std::size_t>(filled[parent]++)] = static_cast<int>(i);
    }
    summary.contourOrder.reserve(count);
    for (std::size_t i = count; i-- > 0;) {
      if (borders_[i + 2].hole) continue;
      summary.contourOrder.push_back(static_cast<int>(i));
      for (int h = groupStart[i + 1]; h-- > groupStart[i];)
        summary.contourOrder.push_back(holes[static_cast<std::size_t>(h)]);
    }
    return summary;
  }

  // The number of the last border that a left-to-right scan of this row met before `pixel`: the
  // nearest pixel to the left on a border, or the frame. Labels left of the last border start
  // cannot have changed since the scan passed them, so looking back now sees what the scan saw.
  // At a hole's start the run's first pixel is on a border, so the look back ends within the run.
  int LastBorderBefore(std::size_t pixel, std::size_t rowStart) const {
    for (std::size_t p = pixel - 1; p > rowStart; --p) {
      const int value = b_.labels[p];
      if (value != 0) return std::abs(value);
    }
    return 1;
  }

  // Numbers the border that starts at `pixel`, finds its parent from the last border met before
  // it (Suzuki and Abe's table: a border of the same kind shares that border's parent, a border of
  // the other kind lies inside it), and follows it.
  void StartBorder(std::size_t pixel, bool hole, int lastBorder) {
    const int nbd = static_cast<int>(borders_.size());
    const Border& last = borders_[static_cast<std::size_t>(lastBorder)];
    Border border;
    border.hole = hole;
    border.parent = (hole == last.hole) ? last.parent : lastBorder;
    // Images with many borders (noise) are followed faster from a table of every pixel's
    // neighbourhood, which costs one pass over the image; the table gives the same masks.
    if (!tabled_ && steps_ > pixels_ / kStepsPerPixelForTable) {
      ComputeNeighbourhoods();
      tabled_ = true;
    }
    border.length = tabled_ ? Follow<true>(pixel, hole ? kEast : kWest, nbd, border.box)
                            : Follow<false>(pixel, hole ? kEast : kWest, nbd, border.box);
    steps_ += static_cast<std::size_t>(border.length);
    borders_.push_back(border);
  }

  std::size_t Index(int r, int c) const {
    return static_cast<std::size_t>(r) * static_cast<std::size_t>(cols_) +
           static_cast<std::size_t>(c);
  }

  // Bit d set where the neighbour of `pixel` in direction d is an object pixel.
  static unsigned Neighbourhood(const unsigned char* o, std::ptrdiff_t w) {
    return static_cast<unsigned>(o[1] | (o[1 - w] << 1) | (o[-w] << 2) | (o[-1 - w] << 3) |
                                 (o[-1] << 4) | (o[w - 1] << 5) | (o[w] << 6) | (o[w + 1] << 7));
  }

  // Room for `more` labels to be remembered.
  void ReserveTouched(std::size_t more) {
    if (b_.touched.size() < touchedCount_ + more) b_.touched.resize(2 * (touchedCount_ + more));
  }

  // Marks a border pixel: -nbd where the border leaves the object eastward, nbd where no border
  // passed yet, else as it was; written without branches, as the border's turns are
  // unpredictable. The final marks do not depend on the order of the visits. Returns 1 when the
  // pixel was unmarked (its index is then stored at `touched`), else 0.
  static std::size_t Mark(int* labels, std::size_t pixel, int nbd, unsigned eastExamined,
                          std::uint32_t* touched) {
    const int old = labels[pixel];
    const int marked = old == 0 ? nbd : old;
    const int east = -static_cast<int>(eastExamined);  // all ones where examined
    labels[pixel] = (marked & ~east) | (-nbd & east);
    *touched = static_cast<std::uint32_t>(pixel);
    return old == 0 ? 1 : 0;
  }

  // Follows the border through pixel `start`, whose zero neighbour lies in direction `from`, and
  // returns its number of points and, in `box`, their bounding rectangle in image coordinates.
  // The border is a cycle of steps (a pixel and the neighbour it was entered from), each with
  // one successor and one predecessor. It is walked from its start forward and backward at once,
  // two independent chains of lookups that the processor overlaps, until the two ends meet, or
  // until at least `limit` points are counted (then the length returned is `limit` or more).
  template <bool kTabled>
  int Follow(std::size_t start, int from, int nbd, cv::Rect& box,
             int limit = std::numeric_limits<int>::max()) {
    const unsigned char* occupied = b_.occupied.data();
    const std::ptrdiff_t w = cols_;
    const int r0 = static_cast<int>(start / static_cast<std::size_t>(cols_));
    const int c0 = static_cast<int>(start % static_cast<std::size_t>(cols_));
    int top = r0, bottom = r0, left = c0, right = c0;
    // Clockwise from `from` for the first object pixel.
    int first = -1;
    for (int k = 0; k < 8; ++k) {
      const int d = (from - k + 8) & 7;
      if (occupied[start + offsets_[d]] != 0) {
        first = d;
        break;
      }
    }
    int* labels = b_.labels.data();
    if (first < 0) {  // an isolated pixel
      ReserveTouched(1);
      b_.touched[touchedCount_++] = static_cast<std::uint32_t>(start);
      labels[start] = -nbd;
      box = cv::Rect(c0 - 1, r0 - 1, 1, 1);
      return 1;
    }
    const auto mask = [&](std::size_t pixel) -> unsigned {
      return kTabled ? b_.neighbourhoods[pixel] : Neighbourhood(occupied + pixel, w);
    };
    // Forward end: the next step to take (pixel and the direction back to its predecessor).
    std::size_t ahead = start;
    unsigned aheadBack = static_cast<unsigned>(first);
    int ar = r0, ac = c0;
    // Backward end: the next step to take back (pixel and the direction to its successor), and
    // the last step taken back, where the forward end stops (at first the start itself).
    std::size_t behind = start + offsets_[first];
    unsigned behindAhead = static_cast<unsigned>((first + 4) & 7);
    int br = r0 + kRowStep[first], bc = c0 + kColStep[first];
    std::size_t last = start;
    unsigned lastBack = static_cast<unsigned>(first);
    int length = 0;
    // The labels written are remembered in a block that is grown between blocks of steps, so
    // that the loop keeps its pointers in registers.
    constexpr std::size_t kBlock = 4096;
    ReserveTouched(kBlock);
    std::uint32_t* touched = b_.touched.data() + touchedCount_;
    std::size_t room = kBlock;
    for (;;) {
      if (room < 2) {
        touchedCount_ = static_cast<std::size_t>(touched - b_.touched.data());
        ReserveTouched(kBlock);
        touched = b_.touched.data() + touchedCount_;
        room = kBlock;
      }
      // One step forward: counterclockwise from just after the predecessor for the next object
      // pixel.
      const Move& move = moves_[aheadBack][mask(ahead)];
      const std::size_t addedAhead = Mark(labels, ahead, nbd, move.eastExamined, touched);
      touched += addedAhead;
      room -= addedAhead;
      ++length;
      top = std::min(top, ar);
      bottom = std::max(bottom, ar);
      left = std::min(left, ac);
      right = std::max(right, ac);
      ahead += static_cast<std::ptrdiff_t>(move.offset);
      aheadBack = move.next;
      ar += move.rowStep;
      ac += move.colStep;
      if (ahead == last && aheadBack == lastBack) break;
      // One step backward.
      const Move& backMove = backMoves_[behindAhead][mask(behind)];
      const std::size_t addedBehind = Mark(labels, behind, nbd, backMove.eastExamined, touched);
      touched += addedBehind;
      room -= addedBehind;
      ++length;
      top = std::min(top, br);
      bottom = std::max(bottom, br);
      left = std::min(left, bc);
      right = std::max(right, bc);
      last = behind;
      lastBack = backMove.direction;
      behind += static_cast<std::ptrdiff_t>(backMove.offset);
      behindAhead = backMove.next;
      br += backMove.rowStep;
      bc += backMove.colStep;
      if (ahead == last && aheadBack == lastBack) break;
      if (length >= limit) break;
    }
    touchedCount_ = static_cast<std::size_t>(touched - b_.touched.data());
    // Padded coordinates less the frame.
    box = cv::Rect(left - 1, top - 1, right - left + 1, bottom - top + 1);
    return length;
  }

  // For every pixel inside the frame, bit d set where its neighbour in direction d is an object
  // pixel, 16 pixels at a time. The occupancy is 0 or 1, so each shifted byte keeps its bit.
  void ComputeNeighbourhoods() {
    b_.neighbourhoods.resize(pixels_);
    const unsigned char* occupied = b_.occupied.data();
    for (int r = 1; r < rows_ - 1; ++r) {
      const unsigned char* up = occupied + Index(r - 1, 0);
      const unsigned char* mid = occupied + Index(r, 0);
      const unsigned char* down = occupied + Index(r + 1, 0);
      unsigned char* out = &b_.neighbourhoods[Index(r, 0)];
      int c = 1;
#if defined(__SSE2__)
      const auto at = [](const unsigned char* p) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      };
      for (; c + 16 < cols_; c += 16) {
        __m128i m = at(mid + c + 1);
        m = _mm_or_si128(m, _mm_slli_epi16(at(up + c + 1), 1));
        m = _mm_or_si128(m, _mm_slli_epi16(at(up + c), 2));
        m = _mm_or_si128(m, _mm_slli_epi16(at(up + c - 1), 3));
        m = _mm_or_si128(m, _mm_slli_epi16(at(mid + c - 1), 4));
        m = _mm_or_si128(m, _mm_slli_epi16(at(down + c - 1), 5));
        m = _mm_or_si128(m, _mm_slli_epi16(at(down + c), 6));
        m = _mm_or_si128(m, _mm_slli_epi16(at(down + c + 1), 7));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + c), m);
      }
#endif
      for (; c < cols_ - 1; ++c) {
        out[c] = static_cast<unsigned char>(
            mid[c + 1] | (up[c + 1] << 1) | (up[c] << 2) | (up[c - 1] << 3) | (mid[c - 1] << 4) |
            (down[c - 1] << 5) | (down[c] << 6) | (down[c + 1] << 7));
      }
    }
  }

  // Border points per pixel beyond which the neighbourhood table pays for its pass.
  static constexpr std::size_t kStepsPerPixelForTable = 16;

  int rows_;
  int cols_;
  std::size_t pixels_;
  BorderScratch::Buffers& b_;
  std::size_t steps_ = 0;  // border points followed so far
  bool tabled_ = false;    // whether the neighbourhood table is filled
  std::size_t touchedCount_ = 0;
  std::vector<Border> borders_;  // per border number
  std::ptrdiff_t offsets_[8] = {};
  Move moves_[8][256];
  Move backMoves_[8][256];
};

}  // namespace

BorderSummary SummarizeBorders(const cv::Mat& binary) {
  CV_Assert(binary.type() == CV_8UC1);
  BorderScratch scratch;
  return SummarizeBordersAbove(binary, 0, cv::Point(), scratch);
}

BorderSummary SummarizeBordersAbove(const cv::Mat& grey, int threshold, cv::Point offset,
                                    BorderScratch& scratch) {
  CV_Assert(grey.type() == CV_8UC1 && grey.dims == 2);
  return BorderFollower(grey, threshold, scratch.buffers()).Run(offset);
}

int OuterBorderLength(const cv::Mat& grey, int threshold, cv::Point first, BorderScratch& scratch,
                      int limit) {
  CV_Assert(grey.type() == CV_8UC1 && grey.dims == 2);
  CV_Assert(first.x >= 0 && first.y >= 0 && first.x < grey.cols && first.y < grey.rows);
  return BorderFollower(grey, threshold, scratch.buffers()).OuterLength(first.y, first.x, limit);
}

}  // namespace Oskelo::CV::Native64::detail
