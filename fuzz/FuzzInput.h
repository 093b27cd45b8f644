#pragma once

// Reading fuzz inputs and writing seeds in the same layout: fields are taken from the front of the
// input in order, as raw little-endian bytes; a field past the end of the input reads as zero, so
// every input, however short, is a valid one.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

namespace fuzz {

class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  // The next sizeof(T) bytes as a T (any bit pattern: doubles may be NaN or infinite).
  template <typename T>
  T Take() {
    static_assert(std::is_trivially_copyable_v<T>);
    T value{};
    const std::size_t n = std::min(sizeof(T), Remaining());
    if (n > 0) std::memcpy(&value, data_ + offset_, n);
    offset_ += n;
    return value;
  }

  // An integer in [lo, hi] from the next four bytes.
  int TakeInRange(int lo, int hi) {
    const auto span = static_cast<std::uint64_t>(static_cast<std::int64_t>(hi) - lo) + 1;
    return static_cast<int>(lo + static_cast<std::int64_t>(Take<std::uint32_t>() % span));
  }

  bool TakeBool() { return (Take<std::uint8_t>() & 1) != 0; }

  // The bytes not read yet.
  std::vector<std::uint8_t> Rest() {
    std::vector<std::uint8_t> rest(data_ + offset_, data_ + offset_ + Remaining());
    offset_ = size_;
    return rest;
  }

  std::size_t Remaining() const { return offset_ < size_ ? size_ - offset_ : 0; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t offset_ = 0;
};

// Builds a seed field by field, each written so that Reader reads it back.
class Writer {
 public:
  template <typename T>
  Writer& Put(T value) {
    static_assert(std::is_trivially_copyable_v<T>);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&value);
    bytes_.insert(bytes_.end(), bytes, bytes + sizeof(T));
    return *this;
  }
  // The value that TakeInRange(lo, hi) reads back as `value`.
  Writer& PutInRange(int value, int lo) {
    return Put(static_cast<std::uint32_t>(static_cast<std::int64_t>(value) - lo));
  }
  Writer& PutBool(bool value) { return Put(static_cast<std::uint8_t>(value ? 1 : 0)); }
  Writer& PutBytes(const std::uint8_t* data, std::size_t size) {
    bytes_.insert(bytes_.end(), data, data + size);
    return *this;
  }
  const std::vector<std::uint8_t>& Bytes() const { return bytes_; }

 private:
  std::vector<std::uint8_t> bytes_;
};

}  // namespace fuzz
