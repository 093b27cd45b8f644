"""The Python module's overhead against the same C++ calls, measured in one run.

    python3 bench/binding_overhead.py --build build/release

Renders a small series with dotcal, calibrates it with examples/python/calibrate_from_files.py,
then alternates five rounds of the C++ timings (bench/binding_reference) and the same calls from
Python: the tracking-form detection of the 7-dot tracker in one frame (search region carried from
call to call) and the triangulation of its 7 dots. Prints per-call medians and their ratios.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
REPEATS = 2000


def python_timings(left, right, calibration_path, size_scale, native64, cv2, track_video):
    calibration = native64.read_calibration_file(str(calibration_path))
    tracker = native64.TargetShape.tracker()
    images = [cv2.imread(str(p), cv2.IMREAD_GRAYSCALE) for p in (left, right)]
    dots = []
    for image in images:
        detector = track_video.tracker_detector(image, tracker)
        whole = (0, 0, image.shape[1], image.shape[0])
        targets, roi, target = detector.track_targets(image, whole, whole)
        targets, roi, target = detector.track_targets(image, roi, target)
        dots.append(targets)
    detector = track_video.tracker_detector(images[0], tracker)
    detector.settings.size_scale = size_scale
    whole = (0, 0, images[0].shape[1], images[0].shape[0])
    _, roi, target = detector.track_targets(images[0], whole, whole)

    def median_ns(call):
        batches = []
        for _ in range(5):
            start = time.perf_counter_ns()
            for _ in range(REPEATS):
                call()
            batches.append((time.perf_counter_ns() - start) / REPEATS)
        return statistics.median(batches)

    state = {"roi": roi, "target": target, "tracked": 0}

    def track():
        found, state["roi"], state["target"] = detector.track_targets(images[0], state["roi"],
                                                                      state["target"])
        state["tracked"] += found is not None

    left_dots, right_dots = dots
    timings = {"track_ns": median_ns(track),
               "triangulate_ns": median_ns(lambda: calibration.triangulate(left_dots, right_dots))}
    timings["tracked"] = state["tracked"]
    return timings


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=str(ROOT / "build" / "release"), help="build folder")
    args = parser.parse_args()
    build = Path(args.build).resolve()
    sys.path[:0] = [str(build / "python" / "package"), str(ROOT / "examples" / "python")]
    import cv2
    import native64
    import track_video

    with tempfile.TemporaryDirectory() as folder:
        series = Path(folder)
        subprocess.run([build / "tools" / "dotcal" / "dotcal", "render", "--out", series,
                        "--pairs", "6", "--tool-frames", "2"], check=True, capture_output=True)
        calib = series / "calib.yml"
        subprocess.run([sys.executable, ROOT / "examples" / "python" / "calibrate_from_files.py",
                        "--left", series / "plate" / "left_*.png", "--right",
                        series / "plate" / "right_*.png", "--out", calib],
                       check=True, capture_output=True, env=dict(os.environ, PYTHONPATH=str(
                           build / "python" / "package")))
        left, right = series / "tool" / "left_000.png", series / "tool" / "right_000.png"
        size_scale = track_video.measure_size_scale(
            track_video.tracker_detector(cv2.imread(str(left), 0),
                                         native64.TargetShape.tracker()).settings,
            cv2.imread(str(left), 0))
        rounds = {"cpp": [], "python": []}
        for _ in range(5):
            out = subprocess.run([build / "bench" / "binding_reference", left, right, calib,
                                  repr(size_scale), str(REPEATS)],
                                 check=True, capture_output=True, text=True).stdout
            rounds["cpp"].append(json.loads(out))
            rounds["python"].append(python_timings(left, right, calib, size_scale, native64, cv2,
                                                   track_video))
    # Every timed call must have found the tracker, on both sides.
    for side, timings in rounds.items():
        if any(r["tracked"] != 5 * REPEATS for r in timings):
            raise SystemExit(f"{side}: the tracker was lost in timed calls")
    for key, name in (("track_ns", "tracking-form find_targets, 7-dot tracker"),
                      ("triangulate_ns", "triangulate 7 points")):
        cpp = statistics.median(r[key] for r in rounds["cpp"])
        py = statistics.median(r[key] for r in rounds["python"])
        print(f"{name}: C++ {cpp / 1000:.2f} us, Python {py / 1000:.2f} us, ratio {py / cpp:.3f}")


if __name__ == "__main__":
    main()
