#pragma once

#include <array>
#include <opencv2/core.hpp>
#include <vector>

#include "native64/ExportedTypes.h"  // the exported vector of points, not a hidden copy

// The pixels of a dot's edge band and the sums the dual-conic fit takes from them, laid out as
// parallel arrays so that each step is one loop over all the band's pixels, which the compiler
// turns into vector instructions. The sums differ from adding the pixels one by one in double
// precision only by their order of addition and their float lanes (about 1e-6 px in a centre).
namespace Oskelo::CV::Native64::detail {

// The outline a band lies around: q^T Q q = 1 for q the offset from (cx, cy), and the band's
// half-width in pixels.
struct BandOutline {
  double cx, cy;
  double q00, q01, q11;
  double band;
};

// What decides which band pixels take part in the fit.
struct BandSelection {
  double minGradient2;   // least squared gradient magnitude
  double minOutwardCos;  // least cosine between the gradient and the outline's outward normal
  // Neighbouring dots, as offsets from the outline's centre: a pixel nearer one of them than the
  // centre is foreign.
  std::vector<cv::Point2d> neighbours;
  double scale;  // the fit's coordinate scale, pixels (about the outline's radius)
};

// Sums over the pixels that take part (own) and those left out (foreign, of the strong ones).
struct BandSums {
  std::array<double, 15> conic{};  // the dual-conic normal equations, DualConicAccumulator's order
  int count = 0;                   // own pixels
  double used = 0.0;               // sum of own squared gradients
  double foreign = 0.0;            // ... of strong pixels left out
  double offsetMoment = 0.0;       // sum of own squared gradients times the offset from the outline
  double offsetSquares = 0.0;      // ... times its square
  // Own squared gradients per octant of the offset from the centre, split at the axes and the
  // diagonals: 0 to 7 from +x toward +y (down in the image).
  std::array<double, 8> sectors{};
};

struct BandArrays;

class EdgeBand {
 public:
  // Starts a band around `outline`.
  void Reset(const BandOutline& outline);

  // Adds the pixels x0 .. x0 + n - 1 of row y, with their gradients gx, gy and grey levels `grey`
  // (arrays of n). Those farther from the outline (along the ray from the centre) than the band's
  // half-width stay in the arrays with no weight. `maxGrey` is the image type's largest level.
  void AddRow(int x0, int y, int n, const float* gx, const float* gy, const float* grey,
              float maxGrey);

  // Whether a band pixel lies at 0 or at maxGrey.
  bool Saturated() const { return saturated_; }
  // The largest squared gradient magnitude of a band pixel.
  double Strongest2() const;

  // The sums of the fit, with the fit's coordinates (x - Origin()) / selection.scale.
  BandSums Sum(const BandSelection& selection);
  // The origin of the fit's coordinates: the outline's centre rounded to whole pixels, so that
  // the offsets of the pixels from it are exact in float.
  cv::Point2d Origin() const;

 private:
  BandArrays Arrays(std::size_t from);  // views of the arrays from pixel `from` on

  BandOutline outline_{};
  bool saturated_ = false;
  // Per pixel: position, gradient, squared gradient (0 outside the band), offset from the
  // outline, outward normal Q q (not unit length), the weights of the selection and the octant.
  std::vector<float> x_, y_, gx_, gy_, g2_, offset_, nx_, ny_, own_, strong_, octant_;
  std::size_t size_ = 0;
};

}  // namespace Oskelo::CV::Native64::detail
