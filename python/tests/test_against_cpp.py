"""The module gives the C++ API's results, bit for bit, on the same rendered images."""

import cv2
import numpy as np

import native64


def plate_detector():
    detector = native64.ImageProcessor()
    # The plate's detector settings, copied field by field from a calibration's.
    calibration = native64.Calibration()
    for name in dir(calibration.settings):
        if not name.startswith("_"):
            setattr(detector.settings, name, getattr(calibration.settings, name))
    return detector


def test_find_targets_equals_cpp(plate_pairs, cpp_reference):
    left = plate_pairs[0][0]
    expected = cpp_reference("find", left)
    detector = plate_detector()
    detector.settings.threshold_state, detector.settings.threshold = 4, 120
    found = detector.find_targets(cv2.imread(left, cv2.IMREAD_GRAYSCALE))
    assert (found is not None) == expected["found"]
    assert found.shape == (117, 2) and found.dtype == np.float64
    np.testing.assert_array_equal(found, np.array(expected["targets"]))
    assert detector.settings.threshold == expected["threshold"]


def test_calibration_and_triangulation_equal_cpp(plate_pairs, cpp_reference):
    files = [f for pair in plate_pairs for f in pair]
    expected = cpp_reference("calibrate", *files)
    calibration = native64.Calibration()
    accepted = [calibration.extract_pair(cv2.imread(l, cv2.IMREAD_GRAYSCALE),
                                         cv2.imread(r, cv2.IMREAD_GRAYSCALE))
                for l, r in plate_pairs]
    assert accepted == expected["accepted"]
    np.testing.assert_array_equal(calibration.left_targets[0], np.array(expected["left_targets"]))
    calibration.compute_stereo_calibration()
    p = calibration.parameters
    for name in ("camera_matrix_left", "camera_matrix_right", "distortion_left", "rotation",
                 "translation"):
        np.testing.assert_array_equal(getattr(p, name), np.array(expected[name]), err_msg=name)
    assert calibration.rms_stereo == expected["rms_stereo"]
    points = calibration.triangulate(calibration.left_targets[0], calibration.right_targets[0])
    np.testing.assert_array_equal(points, np.array(expected["triangulated"]))


def test_uncertainty_and_centre_bias_agree_across_their_forms(plate_pairs):
    calibration = native64.Calibration()
    for l, r in plate_pairs:
        calibration.extract_pair(cv2.imread(l, cv2.IMREAD_GRAYSCALE),
                                 cv2.imread(r, cv2.IMREAD_GRAYSCALE))
    calibration.compute_stereo_calibration()
    u = native64.estimate_calibration_uncertainty(calibration)
    assert u.views == len(plate_pairs) and u.covariance.shape == (24, 24)
    # The centre ray's point, recomputed from the parts the estimate reports.
    p = calibration.parameters
    again = native64.triangulated_point_uncertainty(p, u.covariance, u.centre_noise_px,
                                                    (1247 / 2, 1081 / 2), u.median_distance)
    assert again.total == u.at_centre.total and again.point == u.at_centre.point
    # The outline bias with the plate's rotation as a vector and as a matrix.
    rvec, tvec = np.array([0.3, -0.2, 0.1]), np.array([10.0, -20.0, 900.0])
    centres = calibration.nominal_pattern.points
    by_vector = native64.outline_centre_bias(p.camera_matrix_left, p.distortion_left, rvec, tvec,
                                             centres, 7.5)
    by_matrix = native64.outline_centre_bias(p.camera_matrix_left, p.distortion_left,
                                             cv2.Rodrigues(rvec)[0], tvec, centres, 7.5)
    assert by_vector.shape == (117, 2)
    np.testing.assert_allclose(by_vector, by_matrix, atol=1e-12)
    assert 0 < np.abs(by_vector).max() < 0.2  # a tilted plate's bias: hundredths of a pixel
