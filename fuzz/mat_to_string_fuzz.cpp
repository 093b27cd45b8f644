// Fuzzes MatToString with matrices of every element type, channel count and size up to
// kMaxMatrixSide, continuous or not, and with a matrix of three dimensions: the text must always be
// produced, never a read past the matrix.
#include "MatrixCase.h"
#include "native64/Utils.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Reader in(data, size);
  std::string text = "previous";
  if (in.TakeInRange(0, 7) == 0) {
    const int sizes[3] = {in.TakeInRange(0, 4), in.TakeInRange(0, 4), in.TakeInRange(0, 4)};
    const cv::Mat cube(3, sizes, CV_MAKETYPE(in.TakeInRange(CV_8U, CV_16F), 1), cv::Scalar::all(1));
    Oskelo::CV::Native64::Utils::MatToString(cube, text);
  } else {
    Oskelo::CV::Native64::Utils::MatToString(fuzz::TakeMatrix(in), text);
  }
  if (text.empty() || text[0] != '\n') __builtin_trap();  // every text starts with a newline
  return 0;
}
