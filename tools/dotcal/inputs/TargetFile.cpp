#include "inputs/TargetFile.h"

#include <filesystem>
#include <opencv2/core.hpp>

#include "CommandError.h"
#include "inputs/StorageFile.h"

namespace dotcal {
namespace {

namespace fs = std::filesystem;

// A default margin as a share of the spacing: that of the synthetic plate.
constexpr double kDefaultMarginSpacings = 0.75;

cv::FileNode Required(const cv::FileStorage& storage, const char* key, const std::string& path) {
  const cv::FileNode node = storage[key];
  if (node.empty()) throw WorkFailed(path + ": " + key + " is missing");
  return node;
}

int ReadCount(const cv::FileStorage& storage, const char* key, const std::string& path) {
  const cv::FileNode node = Required(storage, key, path);
  if (!node.isInt()) throw WorkFailed(path + ": " + key + " is not a whole number");
  return static_cast<int>(node);
}

double ReadLength(const cv::FileNode& node, const char* key, const std::string& path) {
  if (!node.isInt() && !node.isReal()) throw WorkFailed(path + ": " + key + " is not a number");
  return static_cast<double>(node);
}

std::vector<int> ReadEmptyNodes(const cv::FileStorage& storage, const std::string& path) {
  const cv::FileNode node = storage["empty_nodes"];
  std::vector<int> nodes;
  if (node.empty()) return nodes;
  if (node.isInt()) return {static_cast<int>(node)};
  if (!node.isSeq()) throw WorkFailed(path + ": empty_nodes is not a list of node numbers");
  for (const cv::FileNode& entry : node) {
    if (!entry.isInt()) throw WorkFailed(path + ": empty_nodes holds something not a node number");
    nodes.push_back(static_cast<int>(entry));
  }
  return nodes;
}

}  // namespace

TargetShape ReadTargetFile(const std::string& path) {
  const cv::FileStorage storage = OpenStorageFile(path, "target");
  TargetShape shape;
  shape.name =
      storage["name"].isString() ? storage["name"].string() : fs::path(path).stem().string();
  shape.columns = ReadCount(storage, "columns", path);
  shape.rows = ReadCount(storage, "rows", path);
  shape.spacing = ReadLength(Required(storage, "spacing", path), "spacing", path);
  shape.diameter = ReadLength(Required(storage, "dot_diameter", path), "dot_diameter", path);
  const cv::FileNode margin = storage["margin"];
  shape.margin =
      margin.empty() ? kDefaultMarginSpacings * shape.spacing : ReadLength(margin, "margin", path);
  const cv::FileNode unit = storage["unit"];
  if (!unit.empty() && !unit.isString()) throw WorkFailed(path + ": unit is not a text");
  if (!unit.empty()) shape.unit = unit.string();
  shape.emptyNodes = ReadEmptyNodes(storage, path);
  // Counted in 64 bits: the grid's size is checked only below.
  const long long nodes = static_cast<long long>(shape.columns) * shape.rows;
  shape.dots = static_cast<int>(std::max<long long>(
      0, std::min<long long>(nodes - static_cast<long long>(shape.emptyNodes.size()), 1 << 30)));
  try {
    shape.Check();
  } catch (const UsageError& e) {
    throw WorkFailed(path + ": " + e.what());
  }
  return shape;
}

void WriteTargetFile(const std::string& path, const TargetShape& shape) {
  try {
    cv::FileStorage storage(path, cv::FileStorage::WRITE);
    if (!storage.isOpened()) throw WorkFailed(path + ": cannot be written");
    storage.writeComment("Dot target for dotcal; lengths in the unit below");
    storage << "name" << shape.name;
    storage << "columns" << shape.columns << "rows" << shape.rows;
    storage << "spacing" << shape.spacing << "dot_diameter" << shape.diameter;
    storage << "margin" << shape.margin << "unit" << shape.unit;
    storage << "empty_nodes"
            << "[";
    for (int node : shape.emptyNodes) storage << node;
    storage << "]";
    storage.release();
  } catch (const cv::Exception& e) {
    throw WorkFailed(path + ": cannot be written (" + e.err + ")");
  }
}

TargetShape ResolveTarget(const TargetOptions& options, const TargetShape& fallback) {
  const bool shapeOptions = !options.grid.empty() || options.dots != 0 || Given(options.spacing) ||
                            Given(options.diameter) || !options.unit.empty();
  if (!options.file.empty()) {
    if (shapeOptions) {
      throw UsageError(
          "--target describes the whole target: leave out --grid, --dots, "
          "--spacing, --diameter and --unit");
    }
    return ReadTargetFile(options.file);
  }
  TargetShape shape = fallback;
  if (!options.grid.empty()) {
    shape = MakeShape(options.grid, options.dots, options.spacing, options.diameter);
  } else {
    if (options.dots != 0 && options.dots != shape.dots) {
      shape.dots = options.dots;
      shape.emptyNodes.clear();  // which nodes are empty is no longer known
    }
    if (Given(options.spacing)) {
      shape.spacing = options.spacing;
      shape.margin = kDefaultMarginSpacings * shape.spacing;
    }
    if (Given(options.diameter)) shape.diameter = options.diameter;
  }
  if (!options.unit.empty()) shape.unit = options.unit;
  shape.Check();
  return shape;
}

}  // namespace dotcal
