#pragma once

// Matrices of arbitrary shape for the fuzz cases: rows, columns, depth (any of OpenCV's eight),
// channels, optionally a non-continuous view, and raw element bytes (NaN and infinities included).
#include <cstdint>
#include <cstring>
#include <opencv2/core.hpp>

#include "FuzzInput.h"

namespace fuzz {

constexpr int kMaxMatrixSide = 12;
constexpr int kMaxChannels = 4;

struct MatrixShape {
  int rows = 0, cols = 0, depth = CV_64F, channels = 1;
  bool continuous = true;
};

inline cv::Mat TakeMatrix(Reader& in) {
  MatrixShape s;
  s.rows = in.TakeInRange(0, kMaxMatrixSide);
  s.cols = in.TakeInRange(0, kMaxMatrixSide);
  s.depth = in.TakeInRange(CV_8U, CV_16F);
  s.channels = in.TakeInRange(1, kMaxChannels);
  s.continuous = !in.TakeBool();
  // A non-continuous view: the matrix sits in the left columns of one twice as wide.
  cv::Mat storage(s.rows, s.continuous ? s.cols : 2 * s.cols, CV_MAKETYPE(s.depth, s.channels),
                  cv::Scalar::all(0));
  cv::Mat m = storage.colRange(0, s.cols);
  for (int r = 0; r < m.rows; ++r) {
    std::uint8_t* row = m.ptr<std::uint8_t>(r);
    for (std::size_t b = 0; b < static_cast<std::size_t>(m.cols) * m.elemSize(); ++b) {
      row[b] = in.Take<std::uint8_t>();
    }
  }
  return m;
}

// Writes a continuous matrix so that TakeMatrix reads it back.
inline void PutMatrix(Writer& out, const cv::Mat& m) {
  out.PutInRange(m.rows, 0).PutInRange(m.cols, 0).PutInRange(m.depth(), CV_8U);
  out.PutInRange(m.channels(), 1).PutBool(false);
  const cv::Mat c = m.isContinuous() ? m : m.clone();
  out.PutBytes(c.ptr<std::uint8_t>(), c.total() * c.elemSize());
}

}  // namespace fuzz
