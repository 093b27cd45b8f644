"""Pivot-calibrates a tool from stereo frames of its tracker rocked about its tip.

    python3 pivot_calibration.py --calib calib.yml --left 'series/tool/left_%03d.png' \
        --right 'series/tool/right_%03d.png'

The tracker's dots are triangulated in every frame (track_video.py), a rigid model is taken from
them, each frame's pose registered onto it, and the tip found as the point that stays still
(pose-based pivot fit). Prints the tip in the tool's frame and in the left camera's frame.
"""

import argparse

import numpy as np

import calibration_file
import native64
from track_video import track_stereo


def pivot(calibration, left, right):
    """The pivot fit of the frames in which both cameras saw the tracker."""
    frames = [dots for _, dots in track_stereo(calibration, left, right) if dots is not None]
    if not frames:
        raise SystemExit("the tracker was not found in any frame pair")
    model = native64.mean_marker_model(frames)
    result, _ = native64.pivot_from_markers(frames, model)
    return result, len(frames)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calib", required=True, help="calibration file")
    parser.add_argument("--left", required=True, help="left video or image sequence")
    parser.add_argument("--right", required=True, help="right video or image sequence")
    args = parser.parse_args()
    calibration = calibration_file.read(args.calib)
    result, frames = pivot(calibration, args.left, args.right)
    if not result.solved:
        raise SystemExit("the frames hold no pivot")
    # Triangulated points lie in the rectified left camera's frame; R1 turns the left camera's
    # frame into it.
    tip_left = np.asarray(calibration.parameters.rectification_left).T @ np.array(result.pivot)
    print(f"{result.frames_used} of {frames} frames used, RMS {result.rms:.4f}")
    print("tip in the tool frame: {:.4f} {:.4f} {:.4f}".format(*result.tip_in_tool))
    print("tip in the left camera frame: {:.4f} {:.4f} {:.4f}".format(*tip_left))
    for warning in native64.pivot_warning_texts(result.warnings):
        print(f"warning: {warning}")


if __name__ == "__main__":
    main()
