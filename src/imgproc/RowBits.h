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
  explicit RowBits(int cols) : cols_(cols), words_((cols + 63) / 64 + 1, 0) {}
  int cols() const { return cols_; }

  // Reads a row of occupancy bytes (0 or 1); the bits past its end stay clear.
  void Read(const unsigned char* row) {
    std::fill(words_.begin(), words_.end(), 0);
    int c = 0;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    for (; c + 16 <= cols_; c += 16) {
      const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + c));
      const auto set = static_cast<std::uint64_t>(
          static_cast<unsigned>(~_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, zero))) & 0xFFFFu);
      words_[static_cast<std::size_t>(c >> 6)] |= set << (c & 63);
    }
#endif
    for (; c < cols_; ++c) {
      words_[static_cast<std::size_t>(c >> 6)] |= static_cast<std::uint64_t>(row[c] != 0)
                                                  << (c & 63);
    }
  }

  // Reads a row of grey levels, a bit set where the level lies above `threshold` (as
  // BinariseRow); the bits past its end stay clear.
  void ReadAbove(const unsigned char* row, int threshold) {
    std::fill(words_.begin(), words_.end(), 0);
    if (threshold >= 255) return;
    if (threshold < 0) {
      for (int c = 0; c < cols_; ++c) words_[static_cast<std::size_t>(c >> 6)] |= 1ull << (c & 63);
      return;
    }
    int c = 0;
    const auto level = static_cast<unsigned char>(threshold);
#if defined(__SSE2__)
    // x > level exactly where max(x, level + 1) == x.
    const __m128i above = _mm_set1_epi8(static_cast<char>(level + 1));
    for (; c + 16 <= cols_; c += 16) {
      const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + c));
      const __m128i set = _mm_cmpeq_epi8(_mm_max_epu8(bytes, above), bytes);
      const auto bits = static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(set)));
      words_[static_cast<std::size_t>(c >> 6)] |= bits << (c & 63);
    }
#endif
    for (; c < cols_; ++c) {
      words_[static_cast<std::size_t>(c >> 6)] |= static_cast<std::uint64_t>(row[c] > level)
                                                  << (c & 63);
    }
  }

  // The first column from `c` on whose bit is set (clear), or one past the last word's columns.
  int NextSet(int c) const { return Next(c, 0); }
  int NextClear(int c) const { return Next(c, ~0ull); }

 private:
  int Next(int c, std::uint64_t flip) const {
    std::size_t w = static_cast<std::size_t>(c >> 6);
    std::uint64_t word = (words_[w] ^ flip) & (~0ull << (c & 63));
    while (word == 0) {
      if (++w == words_.size()) return static_cast<int>(w * 64);
      word = words_[w] ^ flip;
    }
    return static_cast<int>(w * 64) + __builtin_ctzll(word);
  }

  int cols_;
  std::vector<std::uint64_t> words_;
};

}  // namespace Oskelo::CV::Native64::detail
