"""Settings are shared as in C++; bad arrays raise TypeError or ValueError naming what was
expected, and library errors raise native64.Error."""

import copy
import gc

import numpy as np
import pytest

import native64


def test_detectors_share_one_settings_record():
    a = native64.ImageProcessor()
    b = copy.copy(a)
    c = native64.ImageProcessor()
    a.settings.dot_count = 9
    assert b.settings.dot_count == 9 and c.settings.dot_count == 7
    c.share_settings(a)
    assert c.settings.dot_count == 9
    # A record handed out stays valid when its detector moves to another record or is gone.
    record = b.settings
    b.share_settings(native64.ImageProcessor())
    del a, c
    gc.collect()
    record.threshold = 42
    assert record.threshold == 42 and b.settings.threshold != 42


def test_calibration_copies_share_their_detector_settings():
    calibration = native64.Calibration()
    twin = copy.copy(calibration)
    calibration.settings.size_scale = 1.25
    assert twin.settings.size_scale == 1.25
    settings = twin.settings
    del calibration, twin
    gc.collect()
    assert settings.dot_count == 117  # the record lives on with its last holder


@pytest.mark.parametrize("image, error, text", [
    (np.zeros((50, 60), np.float32), TypeError, "uint8"),
    (np.zeros((50, 60, 3), np.uint8), ValueError, "2-D"),
    (np.zeros((0, 60), np.uint8), ValueError, "non-empty"),
    ([[0, 1], [2, 3]], TypeError, "NumPy array"),
])
def test_bad_images_are_refused_before_any_read(image, error, text):
    with pytest.raises(error, match=text):
        native64.ImageProcessor().find_targets(image)
    with pytest.raises(error, match=text):
        native64.Calibration().extract_pair(image, image)


def test_strided_and_tiny_images_are_read_safely(plate_pairs):
    import cv2
    image = cv2.imread(plate_pairs[0][0], cv2.IMREAD_GRAYSCALE)
    detector = native64.ImageProcessor()
    detector.settings.dot_count, detector.settings.grid_columns = 117, 9
    detector.settings.grid_rows, detector.settings.dot_spacing = 13, 30.0
    detector.settings.dot_diameter = 15.0
    whole = detector.find_targets_by_sweep(image)
    assert whole is not None
    # A view into a larger image (row stride beyond the width) is read in place, and a view with
    # a column stride is packed first: both give the centres of the packed image.
    wide = np.zeros((image.shape[0], image.shape[1] + 37), np.uint8)
    wide[:, :image.shape[1]] = image
    view = wide[:, :image.shape[1]]
    assert not view.flags.c_contiguous
    np.testing.assert_array_equal(detector.find_targets_by_sweep(view)[0], whole[0])
    doubled = np.repeat(image, 2, axis=1)[:, ::2]
    np.testing.assert_array_equal(detector.find_targets_by_sweep(doubled)[0], whole[0])
    # Images far smaller than the target find nothing.
    assert detector.find_targets(np.full((1, 1), 200, np.uint8)) is None
    assert detector.find_targets(np.full((3, 2000), 200, np.uint8)) is None


def test_library_errors_carry_opencv_code_and_message():
    calibration = native64.Calibration()
    with pytest.raises(native64.Error) as raised:
        calibration.triangulate(np.zeros((2, 2)), np.zeros((2, 2)))
    assert isinstance(raised.value, RuntimeError)
    assert "Triangulate" in raised.value.err and raised.value.code < 0
    with pytest.raises(native64.Error):
        calibration.compute_stereo_calibration()  # no pairs
    with pytest.raises(ValueError, match=r"\(N, 2\)"):
        calibration.triangulate(np.zeros((2, 3)), np.zeros((2, 3)))
    with pytest.raises(TypeError, match="numbers"):
        calibration.triangulate(np.array(["a", "b"]), np.zeros((2, 2)))
    image = np.zeros((20, 20), np.uint8)
    for roi in ((0, 0, 20), (0, 0, 20.5, 20), "abcd"):
        with pytest.raises(TypeError, match="roi"):
            native64.ImageProcessor().track_targets(image, roi, (0, 0, 20, 20))


def test_grid_too_small_for_its_dots_raises_value_error():
    # Four bright blobs on a dark ground, found as dots (contour mode 1) and ordered on a grid of
    # one column: the ordering's std::length_error.
    import cv2
    image = np.full((200, 300), 20, np.uint8)
    for centre in ((60, 60), (160, 60), (60, 140), (160, 140)):
        cv2.circle(image, centre, 12, 200, -1)
    detector = native64.ImageProcessor()
    s = detector.settings
    s.contour_mode, s.dot_count, s.grid_columns, s.grid_rows = 1, 4, 1, 4
    s.threshold_state, s.threshold, s.fixed_threshold = 4, 100, True
    with pytest.raises(ValueError, match="2 x 2"):
        detector.find_targets(image)
    s.grid_columns, s.grid_rows = 2, 2
    assert detector.find_targets(image).shape == (4, 2)
