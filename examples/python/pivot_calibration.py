"""Pivot-calibrates a tool from stereo frames of its tracker rocked about its tip.

    python3 pivot_calibration.py --calib calib.yml --left 'series/tool/left_%03d.png' \
        --right 'series/tool/right_%03d.png' --out tool.yml

The tracker's dots are triangulated in every frame (track_video.py), a rigid model is taken from
them, each frame's pose registered onto it, and the tip found as the point that stays still
(pose-based pivot fit). Prints the tip in the tool's frame and in the left camera's frame; --out
writes the tool file that track_video.py --tool and dotcal track --tool read.
"""

import argparse
import datetime

import numpy as np

import native64
from track_video import track_stereo


def pivot(calibration, left, right):
    """The pivot fit of the frames in which both cameras saw the tracker."""
    frames = [dots for _, dots in track_stereo(calibration, left, right) if dots is not None]
    if not frames:
        raise SystemExit("the tracker was not found in any frame pair")
    model = native64.mean_marker_model(frames)
    result, _ = native64.pivot_from_markers(frames, model)
    return result, len(frames), model


def tool_definition(result, model, tracker):
    """The tool as dotcal's tool file holds it: markers and tip in the tool frame that the
    markers define (origin at their centroid, x toward marker 0)."""
    frame = native64.tool_frame_from_markers(model)
    rotation, origin = frame[:3, :3], frame[:3, 3]
    tool = native64.ToolDefinition()
    tool.name, tool.tracker = "tool", tracker
    tool.markers = model @ rotation.T + origin
    tool.tip = rotation @ np.array(result.tip_in_tool) + origin
    tool.pivot_residual, tool.method = result.rms, "pose"
    tool.frames_used, tool.frames_rejected = result.frames_used, result.frames_rejected
    tool.tilt_median_deg, tool.tilt_max_deg = result.median_tilt_deg, result.max_tilt_deg
    tool.created = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")
    return tool


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calib", required=True, help="calibration file")
    parser.add_argument("--left", required=True, help="left video or image sequence")
    parser.add_argument("--right", required=True, help="right video or image sequence")
    parser.add_argument("--out", help="tool file to write")
    args = parser.parse_args()
    calibration = native64.read_calibration_file(args.calib)
    result, frames, model = pivot(calibration, args.left, args.right)
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
    if args.out:
        tool = tool_definition(result, model, native64.TargetShape.tracker())
        tool.calibration_file = args.calib
        native64.write_tool_file(args.out, tool)
        print(f"wrote {args.out}")


if __name__ == "__main__":
    main()
