#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "inputs/TargetFile.h"

// The dotcal commands. Each writes its results to `out` and its progress and notes to `err`, and
// throws UsageError or WorkFailed (CommandError.h) when it cannot do its work.
namespace dotcal {

struct DemoOptions {
  std::string out = "dotcal-demo";  // folder for the calibration file, overlays and plot
  int platePairs = 15;              // plate pairs of the calibration
  int toolFrames = 40;              // frames of the pivoting tool
  std::uint64_t seed = 2024;        // plate poses and image noise
};

// The embedded default: calibrates a synthetic rig from rendered plate pairs, pivot-calibrates a
// synthetic tool, and prints both against the truth.
void RunDemo(const DemoOptions& options, std::ostream& out, std::ostream& err);

struct RenderOptions {
  std::string out;                 // series folder
  int pairs = 15;                  // plate pairs
  std::uint64_t seed = 1;          // plate poses and image noise
  double noise = 1.5;              // sensor noise, grey levels
  int toolFrames = 40;             // frames of the pivoting tool (0: none)
  int movingFrames = 0;            // frames of the two moving tools (0: none)
  std::string size = "1248x1082";  // image size, W x H pixels
  TargetOptions target;            // the plate (default: the 9 x 13 plate)
  int bits = 8;                    // significant bits: 8-bit PNG, or 16-bit PNG above 8
  bool lensBlur = false;           // blur the light before the pixels integrate it
};

// Writes a synthetic stereo series: plate/left_NN.png, plate/right_NN.png, tool/left_NNN.png,
// tool/right_NNN.png, moving/left_NNN.png, moving/right_NNN.png (two tools moving freely),
// target.yml (the plate), probe.yml (the second tool's exact definition) and truth.json.
void RunRender(const RenderOptions& options, std::ostream& out, std::ostream& err);

struct CalibrateOptions {
  std::vector<std::string> left;   // file names or patterns of the left images
  std::vector<std::string> right;  // the same for the right images
  std::string out;                 // calibration file to write
  std::string overlays;            // folder for overlay images and the error plot (empty: none)
  // Folder for the report: the per-view error plot, the coverage and residual-vector images and
  // a text summary (empty: none).
  std::string report;
  TargetOptions target;           // the plate (default: the 9 x 13 plate)
  std::string bits = "auto";      // significant bits of 16-bit images (ImageSeries)
  std::string format = "opencv";  // opencv; ros also writes a ROS camera_info file per camera
  bool json = false;              // print the results as one JSON object on stdout
  bool verbose = false;           // say what was chosen for each pair
  // Dot centres: model (the conic edge fit, then the blurred dot's image fitted to the grey
  // levels), conic (the edge fit alone), both with the outline bias removed over rounds of
  // calibration, or grey (the detector's centroids: the library's own calibration, exactly).
  // Model triples the refinement's few milliseconds per image, which a calibration affords.
  std::string centres = "model";
  // Views beyond these bounds are dropped and the rig calibrated again, until none is
  // (ViewRejectionOptions); keepAll keeps every complete pair.
  bool keepAll = false;
  double maxViewRatio = 3.0;    // view RMS over the median view's
  double maxDotResidual = 1.0;  // pixels
  int jobs = 1;                 // threads that search the pairs (the tool's default: all cores)
};

// Calibrates the rig from image pairs of the plate and writes the calibration file.
void RunCalibrate(const CalibrateOptions& options, std::ostream& out, std::ostream& err);

struct DetectOptions {
  std::vector<std::string> images;  // file names or patterns
  TargetOptions target;             // default: the 9 x 13 plate
  std::string overlays;             // folder for images with the found dots (empty: none)
  bool csv = false;                 // print image,index,x,y rows instead of text
  std::string bits = "auto";
  bool verbose = false;
};

// Finds the target in single images and prints the ordered centres, or why it was not found.
// Throws WorkFailed, after every image was searched, when the target was missing in any.
void RunDetect(const DetectOptions& options, std::ostream& out, std::ostream& err);

struct TriangulateOptions {
  std::string calib;     // calibration file
  std::string left;      // left image
  std::string right;     // right image
  TargetOptions target;  // default: the 9 x 13 plate
  std::string bits = "auto";
};

// Finds the target in one image pair and prints its 3-D points as CSV: index,x,y,z.
void RunTriangulate(const TriangulateOptions& options, std::ostream& out, std::ostream& err);

struct ValidateOptions {
  std::string calib;               // calibration file, held fixed
  std::vector<std::string> left;   // left images: files or patterns
  std::vector<std::string> right;  // the same for the right images, paired by sorted name
  TargetOptions target;            // a complete plate (default: the 9 x 13 plate)
  std::string bits = "auto";
  std::string centres = "model";  // dot centres: model, conic or grey, as for calibrate
  // Largest spacing-error RMS of a calibration that still fits, in the target's unit; not given:
  // a 150th of the target's spacing, 0.2 mm on the 30 mm plate (ValidateCommand.cpp says why).
  // Raising it accepts noisier centres and hides smaller changes of scale.
  double maxSpacingError = kNotGiven;
  // Largest epipolar (rectified vertical disparity) RMS of a calibration that still fits, pixels:
  // about three times what a real rig's centre noise (0.05 px) gives, below what any 0.1-degree
  // turn of a camera about its horizontal or optical axis gives (ValidateCommand.cpp).
  double maxEpipolar = 0.2;
  bool json = false;  // print every figure as one JSON object on stdout
};

// Checks a stored calibration against new image pairs of a known plate: triangulates the plate in
// every pair with the calibration held fixed and reports the neighbour spacing error, the
// epipolar error and the reprojection error, per pair and over all pairs. Throws NoLongerFits,
// after printing the figures, when the spacing or epipolar RMS is above its limit; WorkFailed
// when no pair shows the plate in both images.
void RunValidate(const ValidateOptions& options, std::ostream& out, std::ostream& err);

struct PivotOptions {
  // The tool's frames, from exactly one input: stereo images (calib, left, right), poses or tracks.
  std::string calib;
  std::vector<std::string> left;
  std::vector<std::string> right;
  std::string poses;     // CSV: 16 numbers per row, a row-major 4x4 pose tool -> measurement
  std::string tracks;    // CSV: frame, marker, x, y, z
  TargetOptions target;  // default: the 7-dot tracker
  std::string method = "pose";
  std::string bits = "auto";
  std::string out;   // tool file to write (empty: none)
  std::string name;  // the tool's name in it (empty: the stem of `out`)
  // Dot centres of stereo images: model (as for calibrate: a tool is calibrated once), conic or
  // grey.
  std::string centres = "model";
};

// Pivot-calibrates a tool from a stereo image sequence, poses or marker tracks. Prints the frames
// used and rejected, the tip as the pivot point in the measurement frame and in the tool frame,
// the marker offsets, the residual RMS and the motion's tilt and spin, and warnings on `err`;
// writes the tool file when `out` is given.
void RunPivot(const PivotOptions& options, std::ostream& out, std::ostream& err);

struct TrackOptions {
  std::string calib;               // calibration file
  std::vector<std::string> tools;  // tool files (one or more)
  std::vector<std::string> left;   // left frames: image files or patterns, a video, a camera
  std::vector<std::string> right;  // the same for the right camera
  std::string reference;           // reference file (empty: none)
  std::string format = "csv";      // csv or jsonl
  std::string out;                 // output file (empty: standard output)
  std::string frame = "camera";    // camera (the left camera's own frame) or rectified
  double rate = 30.0;              // frames per second of image files
  // Largest registration residual of an OK pose, in the tool's unit (mm for the usual plates). The
  // synthetic series registers with a median of 0.012 mm and at most 0.025 mm; a real rig's dot
  // centres are several times noisier, so 0.5 leaves them room, while a wrong marker model, a
  // bent tool or a wrong dot order gives millimetres.
  double maxResidual = 0.5;
  std::string bits = "auto";
  // Dot centres: conic by default, as for pivot (each frame's dots refined and their outline bias
  // removed, some three times the cost of the grey loop, which keeps up with several thousand
  // frames per second); model for the grey-level fit besides, at about three times that; grey
  // for the detector's centres.
  std::string centres = "conic";
  // OpenIGTLink server address, "[HOST:]PORT" (empty: no server). Every frame's poses go to each
  // connected client as TRANSFORM messages (PoseStream), besides the rows.
  std::string igtlServer;
  // Clients to wait for before the first frame (0: start at once), so that none misses a frame.
  int igtlWaitClients = 0;
};

// Tracks tools frame by frame and writes one row per frame and tool (TrackRows). Throws
// WorkFailed, after writing every row it could, when frames could not be read or the two
// sources end at different frames; Interrupted when SIGINT stopped it.
void RunTrack(const TrackOptions& options, std::ostream& out, std::ostream& err);

struct IgtlListenOptions {
  std::string address;  // "[HOST:]PORT" of the server (host default localhost)
  long long count = 0;  // messages to print before leaving (0: until the server closes)
};

// Connects to an OpenIGTLink server and prints one line per message it sends (MessageText).
// Returns when the server closes the connection or after `count` messages; throws UsageError for
// a bad address, WorkFailed when the server cannot be reached or the connection breaks.
void RunIgtlListen(const IgtlListenOptions& options, std::ostream& out, std::ostream& err);

struct RegisterOptions {
  std::string points;       // CSV: name, reference x y z, measured x y z
  std::string out;          // reference file to write
  std::string unit = "mm";  // the points' length unit
};

// Finds the rigid transform from measured into reference coordinates from named point pairs,
// prints each point's residual and the RMS, and writes the reference file.
void RunRegister(const RegisterOptions& options, std::ostream& out, std::ostream& err);

}  // namespace dotcal
