#pragma once

#include <algorithm>
#include <array>
#include <numeric>
#include <random>
#include <vector>

#include <opencv2/imgproc.hpp>

// Dot centres of a columns x rows grid as a camera sees it: node (a, b) is mapped by the
// perspective transform that puts the corner nodes (0, 0), (C-1, 0), (C-1, R-1), (0, R-1) on
// four given image points, then jittered and listed in a shuffled order (both seeded).
struct SyntheticGrid {
  std::vector<cv::Point2d> points;  // image positions, shuffled
  std::vector<cv::Point> nodes;     // (a, b) of each point

  // The point at node (a, b).
  cv::Point2d At(int a, int b) const {
    const auto it = std::find(nodes.begin(), nodes.end(), cv::Point(a, b));
    return points[static_cast<std::size_t>(it - nodes.begin())];
  }
  // Removes the point at node (a, b).
  void Remove(int a, int b) {
    const auto it = std::find(nodes.begin(), nodes.end(), cv::Point(a, b));
    points.erase(points.begin() + (it - nodes.begin()));
    nodes.erase(it);
  }
};

inline SyntheticGrid MakeGrid(int columns, int rows, const std::vector<cv::Point2d>& cornersPx,
                              double jitterPx, unsigned seed) {
  const cv::Point2f model[4] = {
      {0, 0}, {float(columns - 1), 0}, {float(columns - 1), float(rows - 1)}, {0, float(rows - 1)}};
  cv::Point2f image[4];
  for (int i = 0; i < 4; ++i) image[i] = cv::Point2f(cornersPx[i]);
  const cv::Mat imageFromModel = cv::getPerspectiveTransform(model, image);

  std::vector<cv::Point2d> grid;
  std::vector<cv::Point> nodes;
  for (int b = 0; b < rows; ++b) {
    for (int a = 0; a < columns; ++a) {
      grid.emplace_back(a, b);
      nodes.emplace_back(a, b);
    }
  }
  std::vector<cv::Point2d> projected;
  cv::perspectiveTransform(grid, projected, imageFromModel);

  std::mt19937 random(seed);
  std::uniform_real_distribution<double> jitter(-jitterPx, jitterPx);
  for (cv::Point2d& p : projected) p += cv::Point2d(jitter(random), jitter(random));
  std::vector<std::size_t> order(projected.size());
  std::iota(order.begin(), order.end(), 0);
  std::shuffle(order.begin(), order.end(), random);

  SyntheticGrid scene;
  for (std::size_t i : order) {
    scene.points.push_back(projected[i]);
    scene.nodes.push_back(nodes[i]);
  }
  return scene;
}
