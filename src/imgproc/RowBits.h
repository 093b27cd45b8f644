#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// Rows of a binary image as bits, for finding runs of object pixels a word at a time.
namespace Oskelo::CV::Native64::detail {

// 1 where a pixel of the row lies above the threshold, 0 elsewhere: cv::threshold's binarisation
// of 8-bit pixels, serially (a search region is too small to gain from OpenCV's threads) in a
// loop the compiler vectorises.
inline void BinariseRow(const unsigned char* __restrict in, int threshold, int count,
                        unsigned char* __restrict out) {
  if (threshold < 0 || threshold >= 255) {
    std::fill(out, out + count, threshold < 0 ? 1 : 0);
    return;
  }
  const auto level = static_cast<unsigned char>(threshold);
  for (int c = 0; c < count; ++c) out[c] = in[c] > level ? 1 : 0;
}

// One row of the occupancy as bits, 64 columns to a word, for finding where runs of object
// pixels begin and end a word at a time.
class RowBits {
 public:
  explicit RowBits(int cols)
      : cols_(cols),
        words_((cols + 63) / 64 + 1, 0),
        begins_(words_.size(), 0),
        ends_(words_.size(), 0),
        startsBefore_(words_.size(), 0),
        endsBefore_(words_.size(), 0) {}
  int cols() const { return cols_; }

  // Reads a row of occupancy bytes (0 or 1); the bits past its end stay clear.
  void Read(const unsigned char* row) {
    ReadWith(
        row, [](const unsigned char* bytes) { return NonZeroBits(bytes); },
        [](unsigned char level) { return level != 0; });
  }

  // Reads a row of grey levels, a bit set where the level lies above `threshold` (as
  // BinariseRow); the bits past its end stay clear.
  void ReadAbove(const unsigned char* row, int threshold) {
    if (threshold >= 255 || threshold < 0) {
      std::fill(words_.begin(), words_.end(), 0);
      if (threshold < 0) {
        for (int c = 0; c < cols_; ++c)
          words_[static_cast<std::size_t>(c >> 6)] |= 1ull << (c & 63);
      }
      return;
    }
    const auto level = static_cast<unsigned char>(threshold);
    ReadWith(
        row, [level](const unsigned char* bytes) { return BitsAbove(bytes, level); },
        [level](unsigned char grey) { return grey > level; });
  }

  // The first and the last column of every run of set bits, left to right, into `firsts` and
  // `lasts` (room for cols / 2 + 1 runs each); returns the number of runs. A word's run ends are
  // found together from its bits and its neighbours' (a set bit whose left, or right, neighbour
  // is clear), so that a run costs no unpredictable branch of its own. The ends are kept, as
  // bits, for RunsStartingBefore and RunsEndingBefore.
  int Runs(int* __restrict firsts, int* __restrict lasts) {
    int starts = 0, ends = 0;
    std::uint64_t carry = 0;  // the bit left of the word: the previous word's last
    const std::size_t count = words_.size() - 1;  // the last word is always clear
    for (std::size_t w = 0; w < count; ++w) {
      startsBefore_[w] = starts;
      endsBefore_[w] = ends;
      const std::uint64_t x = words_[w];
      std::uint64_t begins = x & ~((x << 1) | carry);
      std::uint64_t finishes = x & ~((x >> 1) | (words_[w + 1] << 63));
      carry = x >> 63;
      begins_[w] = begins;
      ends_[w] = finishes;
      const int base = static_cast<int>(w * 64);
      for (; begins != 0; begins &= begins - 1) firsts[starts++] = base + __builtin_ctzll(begins);
      for (; finishes != 0; finishes &= finishes - 1)
        lasts[ends++] = base + __builtin_ctzll(finishes);
    }
    startsBefore_[count] = starts;
    endsBefore_[count] = ends;
    return starts;
  }

  // Of the runs the last call of Runs found: how many start, or end, in a column before `c`
  // (0 <= c <= cols + 63).
  int RunsStartingBefore(int c) const { return CountBefore(begins_, startsBefore_, c); }
  int RunsEndingBefore(int c) const { return CountBefore(ends_, endsBefore_, c); }

 private:
  // Fills the words from `row`, each collected in a register and stored once: 16 columns at a
  // time by `sixteen` (their bits, lowest column first), the last few one by one by `one`.
  template <class Sixteen, class One>
  void ReadWith(const unsigned char* row, Sixteen sixteen, One one) {
    std::size_t w = 0;
    int c = 0;
    for (; c + 64 <= cols_; c += 64, ++w) {
      words_[w] = sixteen(row + c) | (sixteen(row + c + 16) << 16) | (sixteen(row + c + 32) << 32) |
                  (sixteen(row + c + 48) << 48);
    }
    for (; w < words_.size(); ++w) {
      std::uint64_t word = 0;
      int bit = 0;
      for (; bit < 64 && c + 16 <= cols_; bit += 16, c += 16) word |= sixteen(row + c) << bit;
      for (; bit < 64 && c < cols_; ++bit, ++c)
        word |= static_cast<std::uint64_t>(one(row[c])) << bit;
      words_[w] = word;
    }
  }

#if defined(__SSE2__)
  static std::uint64_t NonZeroBits(const unsigned char* bytes) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes));
    const unsigned zero =
        static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_setzero_si128())));
    return static_cast<std::uint64_t>(~zero & 0xFFFFu);
  }
  // x > level exactly where max(x, level + 1) == x.
  static std::uint64_t BitsAbove(const unsigned char* bytes, unsigned char level) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes));
    const __m128i above = _mm_set1_epi8(static_cast<char>(level + 1));
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_max_epu8(v, above), v)));
  }
#else
  static std::uint64_t NonZeroBits(const unsigned char* bytes) {
    std::uint64_t bits = 0;
    for (int i = 0; i < 16; ++i) bits |= static_cast<std::uint64_t>(bytes[i] != 0) << i;
    return bits;
  }
  static std::uint64_t BitsAbove(const unsigned char* bytes, unsigned char level) {
    std::uint64_t bits = 0;
    for (int i = 0; i < 16; ++i) bits |= static_cast<std::uint64_t>(bytes[i] > level) << i;
    return bits;
  }
#endif

  static int CountBefore(const std::vector<std::uint64_t>& bits, const std::vector<int>& before,
                         int c) {
    const auto w = static_cast<std::size_t>(c >> 6);
    const std::uint64_t below = (1ull << (c & 63)) - 1;
    return before[w] + __builtin_popcountll(bits[w] & below);
  }

  int cols_;
  std::vector<std::uint64_t> words_;
  std::vector<std::uint64_t> begins_, ends_;    // the runs' first and last columns, as bits
  std::vector<int> startsBefore_, endsBefore_;  // runs starting and ending before each word
};

}  // namespace Oskelo::CV::Native64::detail
