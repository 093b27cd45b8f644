#include <algorithm>

#include "CommandError.h"
#include "Commands.h"
#include "inputs/CsvFile.h"
#include "inputs/ReferenceFile.h"
#include "reports/TextFormat.h"
#include "workflows/PointRegistration.h"

namespace dotcal {

void RunRegister(const RegisterOptions& options, std::ostream& out, std::ostream& /*err*/) {
  const std::vector<std::string>& units = TargetUnits();
  if (std::find(units.begin(), units.end(), options.unit) == units.end()) {
    throw UsageError("--unit takes mm, cm, m or in, not '" + options.unit + "'");
  }
  // Each row: name, the point in the reference frame, the point as measured.
  const std::vector<CsvRow> rows = ReadCsvRows(options.points, 1, 6, "point pair");
  std::vector<ReferencePoint> pairs;
  for (const CsvRow& row : rows) {
    ReferencePoint p;
    p.name = row.texts[0];
    p.reference = {row.numbers[0], row.numbers[1], row.numbers[2]};
    p.measured = {row.numbers[3], row.numbers[4], row.numbers[5]};
    pairs.push_back(p);
  }
  ReferenceFrame frame;
  try {
    frame = RegisterPoints(pairs, options.unit);
  } catch (const WorkFailed& e) {
    throw WorkFailed(options.points + ": " + e.what());
  }

  out << "residual of each point (distance of the mapped measured point), " << frame.unit << "\n";
  for (const ReferencePoint& p : frame.points) {
    out << Format("  %-16s %10.4f\n", p.name.c_str(), p.residual);
  }
  out << Format("RMS over %zu points: %.4f %s\n", frame.points.size(), frame.rms,
                frame.unit.c_str());
  WriteReferenceFile(options.out, frame);
  out << "reference frame written to " << options.out << "\n";
}

}  // namespace dotcal
