"""Calibrates a stereo rig from image pairs of the dot plate and writes the calibration file.

    python3 calibrate_from_files.py --left 'series/plate/left_*.png' \
        --right 'series/plate/right_*.png' --out calib.yml

Pairs are matched by sorted name; --target names a target file (dotcal's format) for a plate other
than the default 9 x 13 one. Each found plate's dots are refined (an ellipse fitted to each
dot's edge), and the calibration removes the perspective bias of the dots' centres over a few
rounds; the uncertainty of the result is printed with it.
"""

import argparse
import glob

import cv2
import numpy as np

import native64


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--left", required=True, help="pattern of the left images")
    parser.add_argument("--right", required=True, help="pattern of the right images")
    parser.add_argument("--out", required=True, help="calibration file to write (.yml)")
    parser.add_argument("--target", help="target file of the plate (default: the 9 x 13 plate)")
    args = parser.parse_args()
    lefts, rights = sorted(glob.glob(args.left)), sorted(glob.glob(args.right))
    if not lefts or len(lefts) != len(rights):
        parser.error(f"{len(lefts)} left and {len(rights)} right images: they must pair up")

    calibration = native64.Calibration()
    if args.target:
        native64.configure_calibration(calibration, native64.read_target_file(args.target))
    refined_left, refined_right = [], []
    size = None
    for left_file, right_file in zip(lefts, rights):
        left = cv2.imread(left_file, cv2.IMREAD_GRAYSCALE)
        right = cv2.imread(right_file, cv2.IMREAD_GRAYSCALE)
        size = (left.shape[1], left.shape[0])
        found = calibration.extract_pair(left, right)
        print(f"{left_file}, {right_file}: {'used' if found else 'plate not found'}")
        if found:
            # The grey centres just appended, refined in their images.
            for image, targets, refined in ((left, calibration.left_targets, refined_left),
                                            (right, calibration.right_targets, refined_right)):
                refined.append(native64.refined_centres(native64.refine_dots(image, targets[-1])))
    if not refined_left:
        raise SystemExit("no pair showed the whole plate in both images")

    result = native64.calibrate_unbiased(calibration, refined_left, refined_right)
    calibration.parameters = result.parameters
    calibration.left_targets, calibration.right_targets = result.left_targets, result.right_targets
    calibration.rms_left, calibration.rms_right = result.rms_left, result.rms_right
    calibration.rms_stereo = result.rms_stereo
    p = calibration.parameters
    for name, k in (("left", p.camera_matrix_left), ("right", p.camera_matrix_right)):
        print(f"{name:5} fx {k[0, 0]:.3f} fy {k[1, 1]:.3f} cx {k[0, 2]:.3f} cy {k[1, 2]:.3f} px")
    print(f"baseline {np.linalg.norm(p.translation):.4f}, stereo RMS {result.rms_stereo:.4f} px, "
          f"{result.rounds} rounds of bias correction")
    u = native64.estimate_calibration_uncertainty(calibration)
    print(f"1 sigma: fx {u.left[0]:.3f} px, baseline {u.baseline:.4f}, a point "
          f"{u.median_distance:.0f} deep {u.at_centre.total:.4f} at the image centre")
    native64.write_calibration_file(args.out, calibration, size)
    print(f"wrote {args.out}")


if __name__ == "__main__":
    main()
