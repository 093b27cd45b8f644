// dotcal: stereo calibration, triangulation and tool pivot calibration from the command line.
// Exit status: 0 success, 1 the work failed, 2 a usage error, 3 the calibration no longer fits
// (validate), 130 interrupted (track).
#include <CLI/CLI.hpp>
#include <exception>
#include <iostream>
#include <opencv2/core.hpp>
#include <opencv2/core/utils/logger.hpp>

#include "CommandError.h"
#include "Commands.h"
#include "workflows/ParallelFor.h"

namespace {

using namespace dotcal;

void AddTargetOptions(CLI::App& command, TargetOptions& target, const char* fallback) {
  command.add_option("--target", target.file,
                     std::string("target file (YAML or JSON: columns, rows, spacing, dot_diameter, "
                                 "margin, unit, empty_nodes); default: ") +
                         fallback);
  command.add_option("--grid", target.grid,
                     "grid of the target's dots, columns x rows (e.g. 10x10)");
  command.add_option("--dots", target.dots, "number of dots on the target (default: every node)");
  command.add_option("--spacing", target.spacing,
                     "distance of neighbouring dots in the target's unit (default: 30 for a "
                     "117-dot target, else 16)");
  command.add_option(
      "--diameter", target.diameter,
      "dot diameter in the target's unit (default: 15 for a 117-dot target, else 8)");
  command.add_option("--unit", target.unit, "the target's length unit: mm (default), cm, m, in");
}

void AddCentresOption(CLI::App& command, std::string& centres) {
  command
      .add_option("--centres", centres,
                  "dot centres: conic (each dot's outline fitted from its edges, corrected for "
                  "the perspective bias of the outline), model (the conic fit, then each dot's "
                  "blurred image fitted to its grey levels: closer still, most under strong "
                  "blur, at about three times the cost) or grey (the detector's grey centroids)")
      ->check(CLI::IsMember({"model", "conic", "grey"}))
      ->capture_default_str();
}

void AddBitsOption(CLI::App& command, std::string& bits) {
  command
      .add_option("--bits", bits,
                  "significant bits of 16-bit images: 8, 10, 12, 16 or auto (the smallest "
                  "that holds the series' largest value); one rule for the whole series")
      ->capture_default_str();
}

}  // namespace

int main(int argc, char** argv) {
  // The commands report every failure in their own words.
  cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);

  CLI::App app{
      "dotcal: calibrates a stereo pair of cameras from images of a dot plate, finds targets, "
      "triangulates them, pivot-calibrates tools and tracks them.\n"
      "Exit status: 0 success, 1 the work failed, 2 a usage error, 3 the calibration no longer "
      "fits (validate).",
      "dotcal"};
  app.require_subcommand(1);

  DemoOptions demo;
  CLI::App* demoCommand = app.add_subcommand(
      "demo",
      "render a synthetic rig, calibrate it and a pivoting tool, and compare with the truth");
  demoCommand->add_option("--out", demo.out, "folder for the calibration file, overlays and plot")
      ->capture_default_str();

  RenderOptions render;
  CLI::App* renderCommand = app.add_subcommand(
      "render", "write a synthetic stereo series (plate pairs, tool frames) and its truth");
  renderCommand->add_option("--out", render.out, "series folder")->required();
  renderCommand->add_option("--pairs", render.pairs, "plate pairs")->capture_default_str();
  renderCommand->add_option("--seed", render.seed, "seed of poses and noise")
      ->capture_default_str();
  renderCommand->add_option("--noise", render.noise, "sensor noise, grey levels")
      ->capture_default_str();
  renderCommand->add_option("--tool-frames", render.toolFrames, "frames of the pivoting tool")
      ->capture_default_str();
  renderCommand
      ->add_option("--moving-frames", render.movingFrames,
                   "frames of two tools moving freely (the pivoting tool and a second one, "
                   "whose definition goes to probe.yml)")
      ->capture_default_str();
  renderCommand->add_option("--size", render.size, "image size, width x height in pixels")
      ->capture_default_str();
  AddTargetOptions(*renderCommand, render.target, "the 9 x 13 plate, spacing 30 mm");
  renderCommand
      ->add_option("--bits", render.bits,
                   "significant bits of the images: 8 (8-bit PNG) or up to 16 (16-bit PNG)")
      ->capture_default_str();
  renderCommand->add_flag(
      "--lens-blur", render.lensBlur,
      "blur the light before the pixels integrate it, as a lens does (the default blurs the "
      "integrated pixels, which locks edge-fitted centres to the pixel grid by a few thousandths "
      "of a pixel; kept for comparison with earlier series)");

  CalibrateOptions calibrate;
  CLI::App* calibrateCommand = app.add_subcommand(
      "calibrate", "calibrate from image pairs of the plate and write an OpenCV YAML file");
  calibrateCommand->add_option("--left", calibrate.left, "left images: files or quoted patterns")
      ->required();
  calibrateCommand->add_option("--right", calibrate.right, "right images, paired by sorted name")
      ->required();
  calibrateCommand->add_option("--out", calibrate.out, "calibration file to write (.yml)")
      ->required();
  calibrateCommand->add_option("--overlays", calibrate.overlays,
                               "folder for images with the found dots and an error plot");
  AddTargetOptions(*calibrateCommand, calibrate.target, "the 9 x 13 plate, spacing 30 mm");
  AddBitsOption(*calibrateCommand, calibrate.bits);
  AddCentresOption(*calibrateCommand, calibrate.centres);
  calibrateCommand->add_option("--report", calibrate.report,
                               "folder for a report: the per-view error plot, where the dots fell "
                               "on each sensor, each dot's residual as a magnified arrow, and a "
                               "text summary");
  calibrateCommand->add_flag("--keep-all", calibrate.keepAll,
                             "keep every pair that shows the whole plate; without it, views far "
                             "off the plate fitted in both images are dropped and the rig "
                             "calibrated again, until none is");
  calibrateCommand
      ->add_option("--max-view-ratio", calibrate.maxViewRatio,
                   "drop a view whose reprojection RMS exceeds this multiple of the median "
                   "view's (good views lie within about 1.5)")
      ->check(CLI::PositiveNumber)
      ->capture_default_str();
  calibrateCommand
      ->add_option("--max-dot-residual", calibrate.maxDotResidual,
                   "drop a view with a dot farther than this from the plate fitted in both "
                   "images, in pixels (a plate labelled differently in the two images puts dots "
                   "many pixels off)")
      ->check(CLI::PositiveNumber)
      ->capture_default_str();
  calibrateCommand
      ->add_option("--format", calibrate.format,
                   "opencv; ros also writes a ROS camera_info YAML per camera beside --out")
      ->check(CLI::IsMember({"opencv", "ros"}))
      ->capture_default_str();
  calibrateCommand->add_flag("--json", calibrate.json,
                             "print the results as one JSON object on stdout");
  calibrate.jobs = dotcal::HardwareThreads();
  calibrateCommand
      ->add_option("-j,--jobs", calibrate.jobs,
                   "threads that search the image pairs for the plate (default: the machine's "
                   "cores); the results do not depend on it")
      ->check(CLI::PositiveNumber)
      ->capture_default_str();
  calibrateCommand->add_flag("--verbose", calibrate.verbose,
                             "say, per pair, the size scale chosen for the detector");

  DetectOptions detect;
  CLI::App* detectCommand =
      app.add_subcommand("detect", "find the target in single images and print its dot centres");
  detectCommand->add_option("images", detect.images, "images: files or quoted patterns")
      ->required();
  AddTargetOptions(*detectCommand, detect.target, "the 9 x 13 plate, spacing 30 mm");
  detectCommand->add_option("--overlay", detect.overlays,
                            "folder for images with the found dots circled and numbered");
  detectCommand->add_flag("--csv", detect.csv, "print image,index,x,y rows");
  AddBitsOption(*detectCommand, detect.bits);
  detectCommand->add_flag("--verbose", detect.verbose,
                          "say the size scale and threshold chosen for each image");

  TriangulateOptions triangulate;
  CLI::App* triangulateCommand = app.add_subcommand(
      "triangulate", "find the target in an image pair and print its 3-D points as CSV");
  triangulateCommand->add_option("--calib", triangulate.calib, "calibration file")->required();
  triangulateCommand->add_option("--left", triangulate.left, "left image")->required();
  triangulateCommand->add_option("--right", triangulate.right, "right image")->required();
  AddTargetOptions(*triangulateCommand, triangulate.target, "the 9 x 13 plate, spacing 30 mm");
  AddBitsOption(*triangulateCommand, triangulate.bits);

  ValidateOptions validate;
  CLI::App* validateCommand = app.add_subcommand(
      "validate",
      "check a stored calibration against new image pairs of a known plate: spacing, epipolar "
      "and reprojection errors");
  validateCommand->add_option("--calib", validate.calib, "calibration file, held fixed")
      ->required();
  validateCommand->add_option("--left", validate.left, "left images: files or quoted patterns")
      ->required();
  validateCommand->add_option("--right", validate.right, "right images, paired by sorted name")
      ->required();
  AddTargetOptions(*validateCommand, validate.target, "the 9 x 13 plate, spacing 30 mm");
  AddBitsOption(*validateCommand, validate.bits);
  AddCentresOption(*validateCommand, validate.centres);
  validateCommand->add_option(
      "--max-spacing-error", validate.maxSpacingError,
      "largest RMS of the triangulated neighbour distances' errors, in the target's unit "
      "(default: a 150th of the spacing, 0.2 mm on the 30 mm plate: the unchanged rendered "
      "rig gives 0.006 to 0.009 mm, centres as noisy as a real rig's (0.05 px) about 0.11 mm, a "
      "right camera turned by 0.1 degrees about its vertical axis 0.25 mm)");
  validateCommand
      ->add_option("--max-epipolar", validate.maxEpipolar,
                   "largest RMS vertical disparity of matched dots after rectification, px "
                   "(the rendered rig gives 0.005 px, a real rig's centre noise of 0.05 px about "
                   "0.07 px, a right camera turned by 0.1 degrees about its horizontal axis 2.7 "
                   "px, about its optical axis 0.40 px)")
      ->capture_default_str();
  validateCommand->add_flag("--json", validate.json,
                            "print every figure as one JSON object on stdout");
  validateCommand->footer(
      "Exit status: 0 the calibration fits (both RMS values within their limits), 3 it no longer "
      "fits, with a sentence on stderr saying what probably happened (a large epipolar error: "
      "the rig moved; a spacing error alone: the focus or zoom changed), 1 no pair shows the "
      "plate in both images, 2 a usage error.");

  PivotOptions pivot;
  CLI::App* pivotCommand = app.add_subcommand(
      "pivot",
      "pivot-calibrate a tool from a stereo image sequence of its target, its poses or its marker "
      "tracks, and write its tool file");
  pivotCommand->add_option("--calib", pivot.calib, "calibration file (with --left and --right)");
  pivotCommand->add_option("--left", pivot.left, "left frames: files or quoted patterns");
  pivotCommand->add_option("--right", pivot.right, "right frames, paired by sorted name");
  pivotCommand->add_option("--poses", pivot.poses,
                           "CSV of poses instead of images: 16 numbers a row, a row-major 4x4 "
                           "transform from tool to measurement coordinates");
  pivotCommand->add_option("--tracks", pivot.tracks,
                           "CSV of marker positions instead of images: frame, marker, x, y, z");
  AddTargetOptions(*pivotCommand, pivot.target, "the 7-dot tracker on a 4 x 2 grid, spacing 16 mm");
  AddBitsOption(*pivotCommand, pivot.bits);
  AddCentresOption(*pivotCommand, pivot.centres);
  pivotCommand
      ->add_option("--method", pivot.method,
                   "pose (one-step fit of the poses), shared-sphere (one centre for every "
                   "marker's track), or a sphere fit per marker: hyper, iterative, pratt, taubin")
      ->capture_default_str();
  pivotCommand->add_option("--out", pivot.out, "tool file to write (.yml)");
  pivotCommand->add_option("--name", pivot.name,
                           "the tool's name (default: the --out file's stem)");

  TrackOptions track;
  CLI::App* trackCommand = app.add_subcommand(
      "track",
      "track tools frame by frame in image files, videos or cameras; one row per frame and tool");
  trackCommand->add_option("--calib", track.calib, "calibration file")->required();
  trackCommand->add_option("--tool", track.tools, "tool file (repeat for more tools)")->required();
  trackCommand
      ->add_option("--left", track.left,
                   "left frames: image files or quoted patterns (sorted by name), a video file "
                   "(.mkv, .avi, .mp4, ...), or a camera: v4l2:N or a device such as /dev/video0")
      ->required();
  trackCommand->add_option("--right", track.right, "right frames, as --left")->required();
  trackCommand->add_option("--reference", track.reference,
                           "reference file: map tip, position and rotation into its frame (its "
                           "transform applies to coordinates in the frame --frame selects)");
  trackCommand->add_option("--format", track.format, "csv (with a header line) or jsonl")
      ->check(CLI::IsMember({"csv", "jsonl"}))
      ->capture_default_str();
  trackCommand->add_option("--out", track.out, "file for the rows (default: standard output)");
  trackCommand
      ->add_option("--frame", track.frame,
                   "camera: the left camera's own frame (x right, y down, z forward); rectified: "
                   "the rectified left camera frame; lengths in the calibration's unit")
      ->check(CLI::IsMember({"camera", "rectified"}))
      ->capture_default_str();
  trackCommand
      ->add_option("--rate", track.rate,
                   "frames per second of image files: frame i is at i / rate seconds (videos "
                   "and cameras carry their own times)")
      ->capture_default_str();
  trackCommand
      ->add_option("--max-residual", track.maxResidual,
                   "largest registration residual (RMS of the marker coordinates, tool's unit) "
                   "of an OK pose; above it HIGH_RESIDUAL")
      ->capture_default_str();
  AddBitsOption(*trackCommand, track.bits);
  AddCentresOption(*trackCommand, track.centres);
  trackCommand
      ->add_option("--igtl-server", track.igtlServer,
                   "serve the poses over OpenIGTLink on [HOST:]PORT (alone: 127.0.0.1:18944; "
                   "PORT alone: on 127.0.0.1, this machine only; 0: any free port): per frame and "
                   "tool the TRANSFORMs <Tool>ToTracker and <Tool>TipToTracker (ToReference with "
                   "--reference), in mm; a pose that is not OK sends STATUS messages of those "
                   "names instead")
      ->expected(0, 1)
      ->default_str("18944");
  trackCommand->add_option("--igtl-wait-clients", track.igtlWaitClients,
                           "wait for this many OpenIGTLink clients before the first frame");
  trackCommand->footer(
      "Columns: frame,time,tool,status,tip_x,tip_y,tip_z,x,y,z,qw,qx,qy,qz,residual,markers. "
      "status: OK, MISSING (not found), OUT_OF_ORDER (dots not at the model's distances), "
      "HIGH_RESIDUAL; only OK rows carry a pose. x,y,z: the tool frame's origin; qw..qz: its "
      "rotation (w first). Exit status 130 when interrupted (Ctrl-C) after writing whole rows.");
  IgtlListenOptions listen;
  CLI::App* listenCommand = app.add_subcommand(
      "igtl-listen",
      "connect to an OpenIGTLink server and print one line per message it sends: type, device "
      "name, timestamp (s), values (TRANSFORM: the pose's upper 3 x 4 rows, row by row; STATUS: "
      "code, subcode, error name, text)");
  listenCommand
      ->add_option("address", listen.address,
                   "[HOST:]PORT of the server (host default 127.0.0.1, port default 18944)")
      ->required();
  listenCommand->add_option("--count", listen.count,
                            "leave after this many messages (default: when the server closes)");

  RegisterOptions reg;
  CLI::App* registerCommand =
      app.add_subcommand("register", "find a reference frame from point pairs and write it (.yml)");
  registerCommand
      ->add_option("--points", reg.points,
                   "CSV of point pairs: name, reference x, y, z, measured x, y, z")
      ->required();
  registerCommand->add_option("--out", reg.out, "reference file to write (.yml)")->required();
  registerCommand->add_option("--unit", reg.unit, "the points' length unit: mm, cm, m or in")
      ->capture_default_str();

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? kExitSuccess : kExitUsage;  // --help exits 0
  }

  CLI::App* command = app.get_subcommands().front();
  try {
    if (command == demoCommand) RunDemo(demo, std::cout, std::cerr);
    if (command == renderCommand) RunRender(render, std::cout, std::cerr);
    if (command == calibrateCommand) RunCalibrate(calibrate, std::cout, std::cerr);
    if (command == detectCommand) RunDetect(detect, std::cout, std::cerr);
    if (command == triangulateCommand) RunTriangulate(triangulate, std::cout, std::cerr);
    if (command == validateCommand) RunValidate(validate, std::cout, std::cerr);
    if (command == pivotCommand) RunPivot(pivot, std::cout, std::cerr);
    if (command == trackCommand) RunTrack(track, std::cout, std::cerr);
    if (command == registerCommand) RunRegister(reg, std::cout, std::cerr);
    if (command == listenCommand) RunIgtlListen(listen, std::cout, std::cerr);
  } catch (const UsageError& e) {
    std::cerr << "dotcal " << command->get_name() << ": " << e.what() << "\n"
              << "Run with --help for more information.\n";
    return kExitUsage;
  } catch (const NoLongerFits& e) {
    std::cerr << "dotcal " << command->get_name() << ": " << e.what() << "\n";
    return kExitNoLongerFits;
  } catch (const Interrupted& e) {
    std::cerr << "dotcal " << command->get_name() << ": " << e.what() << "\n";
    return kExitInterrupted;
  } catch (const WorkFailed& e) {
    std::cerr << "dotcal " << command->get_name() << ": " << e.what() << "\n";
    return kExitWorkFailed;
  } catch (const cv::Exception& e) {
    std::cerr << "dotcal " << command->get_name() << ": OpenCV: " << e.err << "\n";
    return kExitWorkFailed;
  } catch (const std::exception& e) {
    std::cerr << "dotcal " << command->get_name() << ": " << e.what() << "\n";
    return kExitWorkFailed;
  }
  return kExitSuccess;
}
