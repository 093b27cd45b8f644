#include <gtest/gtest.h>

#include <fstream>

#include "CommandError.h"
#include "detection/TargetShape.h"
#include "inputs/TargetFile.h"
#include "scratch_folder.h"

namespace {

TEST(TargetShape, GridTextIsColumnsByRows) {
  dotcal::TargetShape shape;
  dotcal::ParseGrid("4x2", "--grid", shape);
  EXPECT_EQ(shape.columns, 4);
  EXPECT_EQ(shape.rows, 2);
  dotcal::ParseGrid("9x13", "--grid", shape);
  EXPECT_EQ(shape.columns, 9);
  EXPECT_EQ(shape.rows, 13);
  for (const char* bad :
       {"", "4", "4x", "x2", "4X2", "4x2x1", "-4x2", "4 x 2", "4x2.5", "99999x2"}) {
    EXPECT_THROW(dotcal::ParseGrid(bad, "--grid", shape), dotcal::UsageError) << bad;
  }
}

TEST(TargetShape, DefaultsFollowTheDotCount) {
  const dotcal::TargetShape plate = dotcal::MakeShape("9x13");
  EXPECT_EQ(plate.spacing, 30.0);
  EXPECT_EQ(plate.diameter, 15.0);
  const dotcal::TargetShape tracker = dotcal::MakeShape("4x2", 7);
  EXPECT_EQ(tracker.spacing, 16.0);
  EXPECT_EQ(tracker.diameter, 8.0);
  const dotcal::TargetShape own = dotcal::MakeShape("5x3", 14, 20.0, 6.0);
  EXPECT_EQ(own.spacing, 20.0);
  EXPECT_EQ(own.diameter, 6.0);
}

TEST(TargetShape, ShapesTheDetectorCannotOrderAreUsageErrors) {
  EXPECT_THROW(dotcal::MakeShape("1x7", 7), dotcal::UsageError);          // a line
  EXPECT_THROW(dotcal::MakeShape("4x2", 9), dotcal::UsageError);          // more dots than nodes
  EXPECT_THROW(dotcal::MakeShape("4x2", 3), dotcal::UsageError);          // too few to order
  EXPECT_THROW(dotcal::MakeShape("4x2", 7, 10, 12), dotcal::UsageError);  // dots overlap
  EXPECT_THROW(dotcal::MakeShape("4x2", 7, 0, 0), dotcal::UsageError);    // no size at all
  EXPECT_NO_THROW(dotcal::MakeShape("2x2", 4));
}

TEST(TargetFile, WrittenTargetsReadBackInYamlAndJson) {
  const std::string folder = ScratchFolder(DOTCAL_SCRATCH);
  dotcal::TargetShape tracker = dotcal::TargetShape::Tracker();
  tracker.unit = "cm";
  tracker.spacing = 1.6;
  tracker.diameter = 0.8;
  tracker.margin = 1.2;
  for (const char* name : {"/tracker.yml", "/tracker.json"}) {
    dotcal::WriteTargetFile(folder + name, tracker);
    const dotcal::TargetShape read = dotcal::ReadTargetFile(folder + name);
    EXPECT_EQ(read.name, tracker.name);
    EXPECT_EQ(read.columns, 4);
    EXPECT_EQ(read.rows, 2);
    EXPECT_EQ(read.dots, 7);  // the nodes less the empty one
    EXPECT_EQ(read.emptyNodes, std::vector<int>{5});
    EXPECT_EQ(read.spacing, 1.6);
    EXPECT_EQ(read.diameter, 0.8);
    EXPECT_EQ(read.margin, 1.2);
    EXPECT_EQ(read.unit, "cm");
    EXPECT_DOUBLE_EQ(read.MetresPerUnit(), 0.01);
  }
}

TEST(TargetFile, HandWrittenYamlNeedsNoHeaderLine) {
  const std::string folder = ScratchFolder(DOTCAL_SCRATCH);
  std::ofstream(folder + "/plate.yaml") << "# my plate\ncolumns: 10\nrows: 10\nspacing: 30\n"
                                           "dot_diameter: 10  # mm\n";
  const dotcal::TargetShape plate = dotcal::ReadTargetFile(folder + "/plate.yaml");
  EXPECT_EQ(plate.dots, 100);
  EXPECT_EQ(plate.diameter, 10.0);
  EXPECT_EQ(plate.margin, 22.5);  // three quarters of the spacing
  EXPECT_EQ(plate.unit, "mm");
}

TEST(TargetFile, CommandLineOptionsChangeTheDefaultTargetOrNameTheirConflict) {
  dotcal::TargetOptions options;
  EXPECT_EQ(dotcal::ResolveTarget(options, dotcal::TargetShape::Tracker()).emptyNodes,
            std::vector<int>{5});
  options.grid = "10x10";
  options.spacing = 3.0;
  options.diameter = 1.0;
  options.unit = "cm";
  const dotcal::TargetShape plate = dotcal::ResolveTarget(options, dotcal::TargetShape::Plate());
  EXPECT_EQ(plate.dots, 100);
  EXPECT_EQ(plate.spacing, 3.0);
  EXPECT_EQ(plate.unit, "cm");
  EXPECT_TRUE(plate.emptyNodes.empty());
  // A spacing given on its own keeps the grid; a negative one is refused, not ignored.
  dotcal::TargetOptions spacing;
  spacing.spacing = 25.0;
  EXPECT_EQ(dotcal::ResolveTarget(spacing, dotcal::TargetShape::Plate()).columns, 9);
  spacing.spacing = -25.0;
  EXPECT_THROW(dotcal::ResolveTarget(spacing, dotcal::TargetShape::Plate()), dotcal::UsageError);
  options.file = "plate.yml";
  EXPECT_THROW(dotcal::ResolveTarget(options, dotcal::TargetShape::Plate()), dotcal::UsageError);
}

}  // namespace
