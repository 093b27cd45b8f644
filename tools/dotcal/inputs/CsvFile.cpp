#include "inputs/CsvFile.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "CommandError.h"

namespace dotcal {
namespace {

std::string Trimmed(const std::string& text) {
  const char* const space = " \t\r\n";
  const std::size_t first = text.find_first_not_of(space);
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(space) - first + 1);
}

std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> fields;
  std::size_t start = 0;
  while (true) {
    const std::size_t comma = line.find(',', start);
    fields.push_back(Trimmed(line.substr(start, comma - start)));
    if (comma == std::string::npos) return fields;
    start = comma + 1;
  }
}

// The field as a finite number, when the whole field is one.
bool ParseNumber(const std::string& field, double& value) {
  if (field.empty()) return false;
  char* end = nullptr;
  errno = 0;
  value = std::strtod(field.c_str(), &end);
  return end == field.c_str() + field.size() && errno != ERANGE && std::isfinite(value);
}

std::string Where(const std::string& path, int line) {
  return path + ", line " + std::to_string(line) + ": ";
}

}  // namespace

std::vector<CsvRow> ReadCsvRows(const std::string& path, int textFields, int numberFields,
                                const std::string& kind) {
  std::error_code error;
  if (!std::filesystem::exists(path, error)) throw UsageError(path + ": no such file");
  if (!std::filesystem::is_regular_file(path, error)) throw WorkFailed(path + ": not a file");
  std::ifstream file(path);
  if (!file) throw WorkFailed(path + ": cannot be read");
  const std::size_t fieldCount = static_cast<std::size_t>(textFields + numberFields);
  std::vector<CsvRow> rows;
  bool first = true;
  std::string text;
  for (int line = 1; std::getline(file, text); ++line) {
    const std::string trimmed = Trimmed(text);
    if (trimmed.empty() || trimmed[0] == '#') continue;
    const std::vector<std::string> fields = Fields(trimmed);
    CsvRow row;
    row.line = line;
    int parsed = 0;
    std::size_t firstBad = fields.size();
    for (std::size_t f = 0; f < fields.size(); ++f) {
      if (f < static_cast<std::size_t>(textFields)) {
        row.texts.push_back(fields[f]);
        continue;
      }
      double value = 0.0;
      if (ParseNumber(fields[f], value)) {
        ++parsed;
      } else if (firstBad == fields.size()) {
        firstBad = f;
      }
      row.numbers.push_back(value);
    }
    const bool header = first && parsed == 0;
    first = false;
    if (header) continue;
    if (fields.size() != fieldCount) {
      throw WorkFailed(Where(path, line) + std::to_string(fields.size()) + " fields, expected " +
                       std::to_string(fieldCount));
    }
    if (firstBad != fields.size()) {
      throw WorkFailed(Where(path, line) + "field " + std::to_string(firstBad + 1) + " ('" +
                       fields[firstBad] + "') is not a finite number");
    }
    rows.push_back(std::move(row));
  }
  if (file.bad()) throw WorkFailed(path + ": cannot be read");
  if (rows.empty()) throw WorkFailed(path + ": no " + kind + " rows in the file");
  return rows;
}

int CsvWholeNumber(const std::string& path, const CsvRow& row, int index, const char* what) {
  const double value = row.numbers.at(static_cast<std::size_t>(index));
  if (value != std::floor(value) || value < 0 || value > INT_MAX) {
    throw WorkFailed(Where(path, row.line) + what + " is not a whole number from 0");
  }
  return static_cast<int>(value);
}

}  // namespace dotcal
