#pragma once

#include <string>
#include <vector>

namespace dotcal {

// One data row of a CSV file.
struct CsvRow {
  int line = 0;                    // line number in the file, from 1
  std::vector<std::string> texts;  // the leading text fields, trimmed
  std::vector<double> numbers;     // the number fields that follow them
};

// Reads a CSV file whose rows hold `textFields` text fields followed by `numberFields` finite
// numbers, separated by commas (no quoting). Blank lines and lines starting with '#' are skipped,
// and so is a first row none of whose number fields is a number (a header). `kind` names the file
// in messages ("points", "poses"). Throws UsageError when the file does not exist, and WorkFailed
// naming the file and the line for a row of another field count or a field that is not a finite
// number, and for a file without data rows.
std::vector<CsvRow> ReadCsvRows(const std::string& path, int textFields, int numberFields,
                                const std::string& kind);

// The number field `index` of `row` as a whole number. Throws WorkFailed naming the file, the line
// and `what` (e.g. "the frame number") when it is not one.
int CsvWholeNumber(const std::string& path, const CsvRow& row, int index, const char* what);

}  // namespace dotcal
