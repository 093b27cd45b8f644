// Detection: the settings record, the detector, its image entry points, the survey of regions and
// sub-pixel dot refinement.
#include <pybind11/stl.h>

#include <memory>

#include "Arrays.h"
#include "Bindings.h"
#include "native64/DotRefinement.h"
#include "native64/ImageDetection.h"
#include "native64/ImageProcessor.h"
#include "native64/ImageProcessorSettings.h"
#include "native64/TargetSurvey.h"

namespace native64_python {
namespace {

using namespace Oskelo::CV::Native64;
using py::arg;

py::object TargetsOrNone(bool found, const std::vector<cv::Point2d>& targets) {
  return found ? py::object(ArrayFromPoints(targets)) : py::object(py::none());
}

void BindSettings(py::module_& m) {
  py::class_<ImageProcessorSettings> s(m, "ImageProcessorSettings", R"doc(
The detector's configuration and run-time state (C++ ImageProcessorSettings). One record is shared
by a detector, the detectors that share it and a calibration's detector; every detection reads it
and writes its run-time fields (threshold, threshold_state, state_counter, mean_grey, grid_map).
Constructing one gives an independent record with the defaults; copy.copy copies every field.)doc");
  s.def(py::init<>(),
        "A record with the library's defaults; set the grid, dot count and sizes of your target.")
      .def("__copy__", [](const ImageProcessorSettings& x) { return ImageProcessorSettings(x); })
      .def("__deepcopy__",
           [](const ImageProcessorSettings& x, py::dict) { return ImageProcessorSettings(x); });
  s.def_readwrite("image_type", &ImageProcessorSettings::imageType,
                  "imageType: OpenCV type of raw buffers; only 0 (CV_8UC1). The array entry "
                  "points check the array's dtype instead.")
      .def_readwrite("contour_method", &ImageProcessorSettings::contourMethod,
                     "contourMethod: contour approximation for cv.findContours (1: every point).")
      .def_readwrite("contour_mode", &ImageProcessorSettings::contourMode,
                     "contourMode: 2 (RETR_CCOMP) a bright box whose holes are the dots; 1 "
                     "(RETR_LIST) every contour is a dot and dot_count must be found.")
      .def_readwrite("reserved0", &ImageProcessorSettings::reserved0,
                     "reserved0: not read by the library.")
      .def_readwrite("threshold_state", &ImageProcessorSettings::thresholdState,
                     "thresholdState: 0 tracking, 1 brightness retry, 2 Otsu retry, 3 "
                     "whole-frame search, 4 forced whole frame.")
      .def_readwrite("threshold", &ImageProcessorSettings::threshold,
                     "threshold: grey level of binarisation (pixels above it are bright).")
      .def_readwrite("mean_grey", &ImageProcessorSettings::meanGrey,
                     "meanGrey: mean grey level of the last measured region.")
      .def_readwrite("reference_grey", &ImageProcessorSettings::referenceGrey,
                     "referenceGrey: grey level that mean_grey is compared with in states 0 "
                     "and 1.")
      .def_readwrite("reserved1", &ImageProcessorSettings::reserved1,
                     "reserved1: not read by the library.")
      .def_readwrite("state_counter", &ImageProcessorSettings::stateCounter,
                     "stateCounter: the threshold state machine's counter.")
      .def_readwrite("column_offset", &ImageProcessorSettings::columnOffset,
                     "columnOffset: leading non-image bytes per row of a raw buffer; the array "
                     "entry points neither apply nor change it.")
      .def_property(
          "image_rect", [](const ImageProcessorSettings& x) { return TupleFromRect(x.imageRect); },
          [](ImageProcessorSettings& x, const py::handle& r) {
            x.imageRect = RectFromTuple(r, "image_rect");
          },
          "imageRect as (x, y, width, height): the image size (set by the array entry points) "
          "and an origin added to every centre.")
      .def_readwrite("roi_margin", &ImageProcessorSettings::roiMargin,
                     "roiMargin: pixels around a found box that form the next search region.")
      .def_readwrite("refine_margin", &ImageProcessorSettings::refineMargin,
                     "refineMargin: pixels around a dot's bounding box for centre refinement.")
      .def_readwrite("refine_power", &ImageProcessorSettings::refinePower,
                     "refinePower: exponent of the darkness weight of centre refinement.")
      .def_readwrite("fixed_roi", &ImageProcessorSettings::fixedRoi,
                     "fixedRoi: use the caller's regions exactly as given.")
      .def_readwrite("fixed_threshold", &ImageProcessorSettings::fixedThreshold,
                     "fixedThreshold: use threshold as it is, with no adaptation.")
      .def_readwrite("reserved_flag0", &ImageProcessorSettings::reservedFlag0,
                     "reservedFlag0: not read by the library.")
      .def_readwrite("debug", &ImageProcessorSettings::debug,
                     "debug: print progress and show intermediate images.")
      .def_readwrite("grid_columns", &ImageProcessorSettings::gridColumns,
                     "gridColumns: nodes of the dot grid along its first axis.")
      .def_readwrite("grid_rows", &ImageProcessorSettings::gridRows,
                     "gridRows: nodes of the dot grid along its second axis.")
      .def_readwrite("reserved_flag1", &ImageProcessorSettings::reservedFlag1,
                     "reservedFlag1: not read by the library.")
      .def_readwrite("grid_map", &ImageProcessorSettings::gridMap,
                     "gridMap: per grid line, 1 where a dot was found and 0 where it is missing "
                     "(a copy as a list of lists).")
      .def_readwrite("dot_spacing", &ImageProcessorSettings::dotSpacing,
                     "dotSpacing: distance of neighbouring dot centres, in the target's unit.")
      .def_readwrite("dot_diameter", &ImageProcessorSettings::dotDiameter,
                     "dotDiameter: dot diameter, in the unit of dot_spacing.")
      .def_readwrite("size_scale", &ImageProcessorSettings::sizeScale,
                     "sizeScale: factor on the accepted range of box contour lengths.")
      .def_readwrite("dot_count", &ImageProcessorSettings::dotCount,
                     "dotCount: number of dots a target must show to be found.");
}

void BindProcessor(py::module_& m) {
  py::class_<ImageProcessor>(m, "ImageProcessor", R"doc(
Finds one target (a bright box carrying dark dots) in an image and returns its dots' sub-pixel
centres in grid order (C++ ImageProcessor). The search is stateful: threshold and search regions
carry over from call to call through the settings record.)doc")
      .def(py::init<>(), "A detector with a new settings record of the defaults.")
      .def_property_readonly("settings", &SettingsOf,
                             "The settings record (shared with every detector that shares it).")
      .def(
          "share_settings", [](ImageProcessor& self, const ImageProcessor& other) { self = other; },
          arg("other"),
          "Makes this detector use `other`'s settings record (C++ operator=): a change through "
          "one is seen by both.")
      .def(
          "__copy__",
          [](const ImageProcessor& self) {
            auto copy = std::make_unique<ImageProcessor>();
            *copy = self;
            return copy;
          },
          "A detector that shares this one's settings record.")
      .def(
          "find_targets",
          [](ImageProcessor& self, const py::handle& image) {
            py::object keep;
            const cv::Mat mat = ImageFromArray(image, "image", keep);
            std::vector<cv::Point2d> targets;
            bool found;
            {
              py::gil_scoped_release release;
              found = FindTargetsInImage(self, mat, targets);
            }
            return TargetsOrNone(found, targets);
          },
          arg("image"), R"doc(
Short form: searches the whole image (C++ FindTargetsInImage, the safe form of FindTargets).
`image` is a 2-D uint8 array of any size; image_rect's size is set to it. Returns the ordered dot
centres as an (N, 2) float64 array, or None when no target is found.)doc")
      .def(
          "track_targets",
          [](ImageProcessor& self, const py::handle& image, const py::handle& roi,
             const py::handle& targetRect, const std::vector<py::object>& exclusions) {
            py::object keep;
            const cv::Mat mat = ImageFromArray(image, "image", keep);
            cv::Rect r = RectFromTuple(roi, "roi"), t = RectFromTuple(targetRect, "target_rect");
            std::vector<cv::Rect> excluded;
            for (const py::object& e : exclusions)
              excluded.push_back(RectFromTuple(e, "exclusions"));
            std::vector<cv::Point2d> targets;
            bool found;
            {
              py::gil_scoped_release release;
              found = FindTargetsInImage(self, mat, targets, r, t, excluded);
            }
            return py::make_tuple(TargetsOrNone(found, targets), TupleFromRect(r),
                                  TupleFromRect(t));
          },
          arg("image"), arg("roi"), arg("target_rect"),
          arg("exclusions") = std::vector<py::object>(),
          R"doc(
Long form, for following a target from frame to frame (C++ FindTargetsInImage with regions).
`roi` is the search region and `target_rect` the region whose brightness drives the threshold,
each (x, y, width, height); `exclusions` are regions where no dot may lie. Returns
(targets or None, roi, target_rect): pass the returned regions to the next frame's call.)doc")
      .def(
          "find_targets_by_sweep",
          [](ImageProcessor& self, const py::handle& image) {
            py::object keep;
            const cv::Mat mat = ImageFromArray(image, "image", keep);
            std::vector<cv::Point2d> targets;
            int threshold = 0;
            bool found;
            {
              py::gil_scoped_release release;
              found = FindTargetsBySweep(self, mat, targets, &threshold);
            }
            return found ? py::object(py::make_tuple(ArrayFromPoints(targets), threshold))
                         : py::object(py::none());
          },
          arg("image"), R"doc(
The calibration's threshold sweep on one still image (C++ FindTargetsBySweep): detects at the
thresholds 20, 25, ..., 215 and again at the middle successful one. Returns (targets, threshold),
or None when no threshold shows the target.)doc");
}

void BindSurvey(py::module_& m) {
  py::class_<SurveyedRegion>(m, "SurveyedRegion",
                             "One bright region of a survey (C++ SurveyedRegion).")
      .def_property_readonly(
          "bounds", [](const SurveyedRegion& r) { return TupleFromRect(r.bounds); },
          "bounds: bounding box of the outline (x, y, width, height).")
      .def_readonly("outline_length", &SurveyedRegion::outlineLength,
                    "outlineLength: boundary pixels.")
      .def_readonly("holes", &SurveyedRegion::holes, "holes: holes of any length.")
      .def_readonly("dot_sized_holes", &SurveyedRegion::dotSizedHoles,
                    "dotSizedHoles: holes within the dot window.")
      .def_readonly("dot_length_low", &SurveyedRegion::dotLengthLow,
                    "dotLengthLow: dot window, low.")
      .def_readonly("dot_length_high", &SurveyedRegion::dotLengthHigh,
                    "dotLengthHigh: dot window, high.")
      .def_readonly("outline_fits", &SurveyedRegion::outlineFits,
                    "outlineFits: the outline length lies inside the survey's window.")
      .def_readonly("qualifies", &SurveyedRegion::qualifies,
                    "qualifies: the region could be the target.");
  py::class_<TargetSurvey>(m, "TargetSurvey",
                           "What the box search sees at one threshold (C++ TargetSurvey).")
      .def_readonly("threshold", &TargetSurvey::threshold, "threshold: the grey level used.")
      .def_readonly("min_outline_length", &TargetSurvey::minOutlineLength, "minOutlineLength.")
      .def_readonly("max_outline_length", &TargetSurvey::maxOutlineLength, "maxOutlineLength.")
      .def_readonly("ideal_outline_length", &TargetSurvey::idealOutlineLength,
                    "idealOutlineLength.")
      .def_readonly("ideal_outline_length_at_unit_scale",
                    &TargetSurvey::idealOutlineLengthAtUnitScale, "idealOutlineLengthAtUnitScale.")
      .def_readonly("regions", &TargetSurvey::regions, "regions: the surveyed regions (a list).");
  m.def(
      "survey_targets",
      [](const ImageProcessorSettings& settings, const py::handle& image, int threshold) {
        py::object keep;
        const cv::Mat mat = ImageFromArray(image, "image", keep);
        py::gil_scoped_release release;
        return SurveyTargets(settings, mat, threshold);
      },
      arg("settings"), arg("image"), arg("threshold"),
      "Surveys the bright regions of `image` binarised at `threshold` against the settings' "
      "target (C++ SurveyTargets); changes nothing.");
}

void BindRefinement(py::module_& m) {
  py::class_<DotRefinementOptions>(m, "DotRefinementOptions",
                                   "Options of refine_dots (C++ DotRefinementOptions).")
      .def(py::init<>())
      .def_readwrite("edge_band_px", &DotRefinementOptions::edgeBandPx,
                     "edgeBandPx: width of the edge band around the outline, pixels.")
      .def_readwrite("gradient_sigma_px", &DotRefinementOptions::gradientSigmaPx,
                     "gradientSigmaPx: smoothing before the gradients, pixels.")
      .def_readwrite("passes", &DotRefinementOptions::passes, "passes: fits per dot.")
      .def_readwrite("refit_offset_px", &DotRefinementOptions::refitOffsetPx,
                     "refitOffsetPx: one more fit when the last one lies this far from its band's "
                     "outline, pixels.")
      .def_readwrite("max_window_radius_px", &DotRefinementOptions::maxWindowRadiusPx,
                     "maxWindowRadiusPx: largest window radius, pixels.")
      .def_readwrite("min_gradient_share", &DotRefinementOptions::minGradientShare,
                     "minGradientShare: weakest gradient used, as a share of the strongest.")
      .def_readwrite("min_outward_cos", &DotRefinementOptions::minOutwardCos,
                     "minOutwardCos: least cosine between a gradient and the outward direction.")
      .def_readwrite("max_foreign_share", &DotRefinementOptions::maxForeignShare,
                     "maxForeignShare: largest share of the band masked out by neighbours.")
      .def_readwrite("min_sector_share", &DotRefinementOptions::minSectorShare,
                     "minSectorShare: least share of edge pixels in each sector.")
      .def_readwrite("min_edge_pixels", &DotRefinementOptions::minEdgePixels,
                     "minEdgePixels: fewest edge pixels for a fit.")
      .def_readwrite("min_radius_px", &DotRefinementOptions::minRadiusPx,
                     "minRadiusPx: smallest dot radius refined, pixels.")
      .def_readwrite("max_shift_px", &DotRefinementOptions::maxShiftPx,
                     "maxShiftPx: largest move from the grey centre, pixels.")
      .def_readwrite("max_quality_px", &DotRefinementOptions::maxQualityPx,
                     "maxQualityPx: largest RMS edge residual of an accepted fit, pixels.")
      .def_readwrite("fit_grey_levels", &DotRefinementOptions::fitGreyLevels,
                     "fitGreyLevels: after the conic fit, fit the blurred dot's image to the grey "
                     "levels (slower; accurate under strong blur).");
  py::class_<RefinedDot>(m, "RefinedDot", "One refined dot (C++ RefinedDot).")
      .def_property_readonly(
          "centre", [](const RefinedDot& d) { return py::make_tuple(d.centre.x, d.centre.y); },
          "centre: the refined centre, or the grey one when flags is not 0.")
      .def_property_readonly(
          "ellipse_centre",
          [](const RefinedDot& d) { return py::make_tuple(d.ellipseCentre.x, d.ellipseCentre.y); },
          "ellipseCentre: the fitted outline's centre.")
      .def_readonly("semi_major", &RefinedDot::semiMajor, "semiMajor: pixels.")
      .def_readonly("semi_minor", &RefinedDot::semiMinor, "semiMinor: pixels.")
      .def_readonly("angle_deg", &RefinedDot::angleDeg, "angleDeg: of the major axis, degrees.")
      .def_readonly("quality", &RefinedDot::quality, "quality: RMS edge residual, pixels.")
      .def_readonly("edge_pixels", &RefinedDot::edgePixels, "edgePixels: pixels of the last fit.")
      .def_readonly("flags", &RefinedDot::flags, "flags: 0 refined, else DotRefinementFlag bits.");
  m.attr("DOT_AT_BORDER") = static_cast<unsigned>(kDotAtBorder);
  m.attr("DOT_SATURATED") = static_cast<unsigned>(kDotSaturated);
  m.attr("DOT_CROWDED") = static_cast<unsigned>(kDotCrowded);
  m.attr("DOT_FEW_EDGE_PIXELS") = static_cast<unsigned>(kDotFewEdgePixels);
  m.attr("DOT_POOR_FIT") = static_cast<unsigned>(kDotPoorFit);
  m.def(
      "refine_dots",
      [](const py::handle& image, const py::handle& centres, const DotRefinementOptions& options) {
        py::object keep;
        const cv::Mat mat = ImageFromArray(image, "image", keep);
        const std::vector<cv::Point2d> points = Points2FromArray(centres, "centres");
        py::gil_scoped_release release;
        return RefineDots(mat, points, options);
      },
      arg("image"), arg("centres"), arg("options") = DotRefinementOptions(), R"doc(
Refines dot centres found in `image` by fitting each dot's outline from its edge gradients (C++
RefineDots). Returns one RefinedDot per centre; refined_centres() of the result's centres gives
an (N, 2) array.)doc");
  m.def(
      "refined_centres",
      [](const std::vector<RefinedDot>& dots) {
        std::vector<cv::Point2d> centres;
        for (const RefinedDot& d : dots) centres.push_back(d.centre);
        return ArrayFromPoints(centres);
      },
      arg("dots"), "The centres of refine_dots' result as an (N, 2) float64 array.");
}

}  // namespace

py::object SettingsOf(ImageProcessor& owner) {
  auto keeper = std::make_unique<ImageProcessor>();
  *keeper = owner;  // shares owner's record
  py::object holder = py::cast(std::move(keeper));
  py::object settings = py::cast(owner.settings, py::return_value_policy::reference);
  py::detail::keep_alive_impl(settings, holder);
  return settings;
}

void BindDetection(py::module_& m) {
  BindSettings(m);
  BindProcessor(m);
  BindSurvey(m);
  BindRefinement(m);
}

}  // namespace native64_python
