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

// Where a key of the description is: "file.yml: key" at the top level, "file.yml: parent.key"
// inside another file's map.
struct KeyPlace {
  const std::string& path;
  const std::string& parent;
  std::string operator()(const char* key) const {
    return path + ": " + (parent.empty() ? std::string() : parent + ".") + key;
  }
};

cv::FileNode Required(const cv::FileNode& map, const char* key, const KeyPlace& place) {
  const cv::FileNode node = map[key];
  if (node.empty()) throw WorkFailed(place(key) + " is missing");
  return node;
}

int ReadCount(const cv::FileNode& map, const char* key, const KeyPlace& place) {
  const cv::FileNode node = Required(map, key, place);
  if (!node.isInt()) throw WorkFailed(place(key) + " is not a whole number");
  return static_cast<int>(node);
}

double ReadLength(const cv::FileNode& node, const char* key, const KeyPlace& place) {
  if (!node.isInt() && !node.isReal()) throw WorkFailed(place(key) + " is not a number");
  return static_cast<double>(node);
}

std::vector<int> ReadEmptyNodes(const cv::FileNode& map, const KeyPlace& place) {
  const cv::FileNode node = map["empty_nodes"];
  std::vector<int> nodes;
  if (node.empty()) return nodes;
  if (node.isInt()) return {static_cast<int>(node)};
  if (!node.isSeq()) throw WorkFailed(place("empty_nodes") + " is not a list of node numbers");
  for (const cv::FileNode& entry : node) {
    if (!entry.isInt()) {
      throw WorkFailed(place("empty_nodes") + " holds something not a node number");
    }
    nodes.push_back(static_cast<int>(entry));
  }
  return nodes;
}

}  // namespace

TargetShape ReadTargetNode(const cv::FileNode& map, const std::string& path,
                           const std::string& parent, const std::string& defaultName) {
  const KeyPlace place{path, parent};
  if (!map.isMap()) throw WorkFailed(path + ": " + parent + " is not a map of target keys");
  TargetShape shape;
  shape.name = map["name"].isString() ? map["name"].string() : defaultName;
  shape.columns = ReadCount(map, "columns", place);
  shape.rows = ReadCount(map, "rows", place);
  shape.spacing = ReadLength(Required(map, "spacing", place), "spacing", place);
  shape.diameter = ReadLength(Required(map, "dot_diameter", place), "dot_diameter", place);
  const cv::FileNode margin = map["margin"];
  shape.margin =
      margin.empty() ? kDefaultMarginSpacings * shape.spacing : ReadLength(margin, "margin", place);
  const cv::FileNode unit = map["unit"];
  if (!unit.empty() && !unit.isString()) throw WorkFailed(place("unit") + " is not a text");
  if (!unit.empty()) shape.unit = unit.string();
  shape.emptyNodes = ReadEmptyNodes(map, place);
  // Counted in 64 bits: the grid's size is checked only below.
  const long long nodes = static_cast<long long>(shape.columns) * shape.rows;
  shape.dots = static_cast<int>(std::max<long long>(
      0, std::min<long long>(nodes - static_cast<long long>(shape.emptyNodes.size()), 1 << 30)));
  try {
    shape.Check();
  } catch (const UsageError& e) {
    throw WorkFailed(path + ": " + (parent.empty() ? std::string() : parent + ": ") + e.what());
  }
  return shape;
}

void WriteTargetNode(cv::FileStorage& storage, const TargetShape& shape) {
  storage << "name" << shape.name;
  storage << "columns" << shape.columns << "rows" << shape.rows;
  storage << "spacing" << shape.spacing << "dot_diameter" << shape.diameter;
  storage << "margin" << shape.margin << "unit" << shape.unit;
  storage << "empty_nodes"
          << "[";
  for (int node : shape.emptyNodes) storage << node;
  storage << "]";
}

TargetShape ReadTargetFile(const std::string& path) {
  const cv::FileStorage storage = OpenStorageFile(path, "target");
  return ReadTargetNode(storage.root(), path, "", fs::path(path).stem().string());
}

void WriteTargetFile(const std::string& path, const TargetShape& shape) {
  try {
    cv::FileStorage storage(path, cv::FileStorage::WRITE);
    if (!storage.isOpened()) throw WorkFailed(path + ": cannot be written");
    storage.writeComment("Dot target for dotcal; lengths in the unit below");
    WriteTargetNode(storage, shape);
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
