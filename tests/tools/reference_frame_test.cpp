#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <random>

#include "CommandError.h"
#include "inputs/CsvFile.h"
#include "inputs/ReferenceFile.h"
#include "scratch_folder.h"
#include "synth/PointScenes.h"
#include "workflows/PointRegistration.h"

namespace {

const std::string kScratch = DOTCAL_SCRATCH;

// Four fiducials at the corners of a tetrahedron of about 100 mm, a known rigid motion between
// the frames and Gaussian noise of sigma on every measured coordinate.
std::vector<dotcal::ReferencePoint> Fiducials(double sigma, std::mt19937_64& rng) {
  const std::vector<cv::Point3d> reference = {{0, 0, 0}, {100, 0, 0}, {20, 90, 0}, {30, 30, 80}};
  const cv::Matx33d measured_from_reference = synth::RandomRotation(rng);
  const std::vector<cv::Point3d> measured =
      synth::Moved(reference, measured_from_reference, cv::Vec3d(-50, 120, 900));
  std::vector<dotcal::ReferencePoint> pairs;
  for (std::size_t k = 0; k < reference.size(); ++k) {
    dotcal::ReferencePoint p;
    p.name = "F" + std::to_string(k + 1);
    p.reference = reference[k];
    p.measured = synth::Jitter(measured[k], sigma, rng);
    pairs.push_back(p);
  }
  return pairs;
}

TEST(RegisterPoints, MeanSquaredResidualMatchesTheRigidFitsDegreesOfFreedom) {
  // With noise sigma on the 3n measured coordinates, a least-squares fit of the 6 rigid degrees
  // of freedom leaves a residual sum of squares of sigma^2 * chi^2(3n - 6): the mean squared
  // residual distance of a point is sigma^2 (3n - 6) / n, 1.5 sigma^2 for n = 4.
  constexpr double kSigma = 0.1;  // mm; small beside the 100 mm fiducials, so the fit is linear
  constexpr int kPoints = 4, kTrials = 4000;
  const double expected = kSigma * kSigma * (3.0 * kPoints - 6.0) / kPoints;
  // One trial's mean squared residual is sigma^2 chi^2(6) / 4, of standard deviation
  // sigma^2 sqrt(2 * 6) / 4; the mean of kTrials is within 4 of its standard deviations.
  const double tolerance =
      4.0 * kSigma * kSigma * std::sqrt(2.0 * (3.0 * kPoints - 6.0)) / kPoints / std::sqrt(kTrials);
  std::mt19937_64 rng(2026);
  double sum = 0.0;
  for (int trial = 0; trial < kTrials; ++trial) {
    const dotcal::ReferenceFrame frame = dotcal::RegisterPoints(Fiducials(kSigma, rng), "mm");
    ASSERT_EQ(frame.points.size(), static_cast<std::size_t>(kPoints));
    double squares = 0.0;
    for (const dotcal::ReferencePoint& p : frame.points) squares += p.residual * p.residual;
    EXPECT_NEAR(frame.rms * frame.rms, squares / kPoints, 1e-12);
    sum += squares / kPoints;
  }
  EXPECT_NEAR(sum / kTrials, expected, tolerance);
}

TEST(RegisterPoints, MapsExactPairsExactlyAndRefusesTooFewOrCollinearPoints) {
  std::mt19937_64 rng(3);
  const std::vector<dotcal::ReferencePoint> pairs = Fiducials(0.0, rng);
  const dotcal::ReferenceFrame frame = dotcal::RegisterPoints(pairs, "mm");
  // Exact pairs 100 mm apart and 900 mm away: what is left is rounding, a few 1e-13 mm.
  EXPECT_LT(frame.rms, 1e-9);
  const cv::Matx44d T(frame.referenceFromMeasured);
  for (const dotcal::ReferencePoint& p : pairs) {
    const cv::Vec4d q = T * cv::Vec4d(p.measured.x, p.measured.y, p.measured.z, 1.0);
    EXPECT_LT(cv::norm(cv::Point3d(q[0], q[1], q[2]) - p.reference), 1e-9) << p.name;
  }
  EXPECT_THROW(dotcal::RegisterPoints({pairs[0], pairs[1]}, "mm"), dotcal::WorkFailed);
  std::vector<dotcal::ReferencePoint> line = pairs;
  for (int k = 0; k < 4; ++k) line[k].reference = {10.0 * k, 5.0 * k, -2.0 * k};
  EXPECT_THROW(dotcal::RegisterPoints(line, "mm"), dotcal::WorkFailed);
  line = pairs;
  for (int k = 0; k < 4; ++k) line[k].measured = {1.0, 2.0 + k, 3.0};
  EXPECT_THROW(dotcal::RegisterPoints(line, "mm"), dotcal::WorkFailed);
  EXPECT_FALSE(dotcal::AreCollinear({{0, 0, 0}, {100, 0, 0}, {50, 0.01, 0}}));
}

TEST(ReferenceFile, RoundTripsAndRefusesATransformThatIsNotRigid) {
  const std::string folder = ScratchFolder(kScratch);
  std::mt19937_64 rng(5);
  const dotcal::ReferenceFrame frame = dotcal::RegisterPoints(Fiducials(0.2, rng), "cm");
  const std::string path = folder + "/ref.yml";
  dotcal::WriteReferenceFile(path, frame);
  const dotcal::ReferenceFrame read = dotcal::ReadReferenceFile(path);
  EXPECT_EQ(read.unit, "cm");
  EXPECT_EQ(cv::norm(read.referenceFromMeasured, frame.referenceFromMeasured, cv::NORM_INF), 0.0);
  ASSERT_EQ(read.points.size(), frame.points.size());
  for (std::size_t k = 0; k < frame.points.size(); ++k) {
    EXPECT_EQ(read.points[k].name, frame.points[k].name);
    EXPECT_EQ(read.points[k].reference, frame.points[k].reference);
    EXPECT_EQ(read.points[k].measured, frame.points[k].measured);
    EXPECT_EQ(read.points[k].residual, frame.points[k].residual);
  }
  EXPECT_EQ(read.rms, frame.rms);
  EXPECT_EQ(read.created, frame.created);

  // Hand-made files: a good identity, then one fault each.
  const auto file = [&](const std::string& transform, const std::string& rest) {
    std::ofstream(path) << "unit: mm\nreference_from_measured: !!opencv-matrix\n  rows: 4\n"
                        << transform
                        << "points: [ {name: F1, reference: [0, 0, 0], measured: [1, 2, 3], "
                           "residual: 0.1} ]\n"
                        << rest;
    try {
      dotcal::ReadReferenceFile(path);
    } catch (const dotcal::WorkFailed& e) {
      return std::string(e.what());
    }
    return std::string();
  };
  const std::string rest = "rms: 0.1\ncreated: \"2026-12-09T06:00:00Z\"\n";
  const auto matrix = [](const std::string& data, int cols = 4) {
    return "  cols: " + std::to_string(cols) + "\n  dt: d\n  data: [ " + data + " ]\n";
  };
  const std::string identity = "1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1";
  EXPECT_EQ(file(matrix(identity), rest), "");
  // 1e-6 is the tolerance; 1e-4 of shear is well beyond it, 1e-9 well within.
  EXPECT_EQ(file(matrix("1, 1e-9, 0, 5, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1"), rest), "");
  for (const auto& [transform, message] : std::vector<std::pair<std::string, std::string>>{
           {matrix("1, 1e-4, 0, 5, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1"), "is not rigid"},
           {matrix("-1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1"), "is not rigid"},
           {matrix("2, 0, 0, 0, 0, 2, 0, 0, 0, 0, 2, 0, 0, 0, 0, 1"), "is not rigid"},
           {matrix("1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 1, 1"),
            "does not end in the row 0 0 0 1"},
           {matrix("1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0", 3), "is not a 4 x 4 matrix"},
       }) {
    EXPECT_NE(file(transform, rest).find(path + ": reference_from_measured " + message),
              std::string::npos)
        << transform << ": " << file(transform, rest);
  }
  EXPECT_EQ(file(matrix(identity), "created: x\n"), path + ": rms is missing");
  EXPECT_EQ(file(matrix(identity), "rms: 0.1\n"), path + ": created is missing");
  std::ofstream(path) << "unit: mm\n" << rest;
  EXPECT_THROW(dotcal::ReadReferenceFile(path), dotcal::WorkFailed);
  EXPECT_THROW(dotcal::ReadReferenceFile(folder + "/missing.yml"), dotcal::UsageError);
}

TEST(CsvFile, SkipsCommentsAndAHeaderAndNamesTheLineOfABadRow) {
  const std::string folder = ScratchFolder(kScratch);
  const std::string path = folder + "/pairs.csv";
  std::ofstream(path) << "name,rx,ry,rz\n# a comment\n\nF1, 1, 2.5, -3e2\r\nF2,4,5,6\n";
  const std::vector<dotcal::CsvRow> rows = dotcal::ReadCsvRows(path, 1, 3, "point");
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].line, 4);
  EXPECT_EQ(rows[0].texts, std::vector<std::string>{"F1"});
  EXPECT_EQ(rows[0].numbers, (std::vector<double>{1, 2.5, -300}));
  const auto error = [&](const std::string& text) {
    std::ofstream(path) << text;
    try {
      dotcal::ReadCsvRows(path, 1, 3, "point");
    } catch (const dotcal::WorkFailed& e) {
      return std::string(e.what());
    }
    return std::string();
  };
  // A first row with some numbers is no header but a bad row.
  EXPECT_EQ(error("F1,1,x,3\n"), path + ", line 1: field 3 ('x') is not a finite number");
  EXPECT_EQ(error("F1,1,2,3\n#\nF2,1,2\n"), path + ", line 3: 3 fields, expected 4");
  EXPECT_EQ(error("F1,1,2,3\nF2,1,2,nan\n"),
            path + ", line 2: field 4 ('nan') is not a finite number");
  EXPECT_EQ(error("F1,1,2,3\nname,x,y,z\n"),
            path + ", line 2: field 2 ('x') is not a finite number");
  EXPECT_EQ(error("name,x,y,z\n# nothing\n"), path + ": no point rows in the file");
}

}  // namespace
