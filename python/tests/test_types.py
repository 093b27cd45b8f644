"""Every type's fields read back what was written, and matrices share the C++ memory."""

import copy

import numpy as np
import pytest

import native64


def test_settings_fields_round_trip_and_copies_are_independent():
    s = native64.ImageProcessorSettings()
    values = {"image_type": 0, "contour_method": 1, "contour_mode": 1, "reserved0": 7,
              "threshold_state": 4, "threshold": 123, "mean_grey": 55, "reference_grey": 99,
              "reserved1": 8, "state_counter": -3, "column_offset": 0,
              "image_rect": (1, 2, 640, 480), "roi_margin": 11, "refine_margin": 3,
              "refine_power": 1, "fixed_roi": True, "fixed_threshold": True,
              "reserved_flag0": True, "debug": False, "grid_columns": 9, "grid_rows": 13,
              "reserved_flag1": True, "grid_map": [[1, 0], [0, 1]], "dot_spacing": 30.5,
              "dot_diameter": 15.25, "size_scale": 1.5, "dot_count": 117}
    for name, value in values.items():
        setattr(s, name, value)
    for name, value in values.items():
        assert getattr(s, name) == value, name
    # Every public field of the record is bound.
    bound = {n for n in dir(s) if not n.startswith("_")}
    assert bound == set(values)
    c = copy.copy(s)
    c.threshold = 1
    assert s.threshold == 123 and c.dot_count == 117


def test_parameters_share_memory_and_copy_on_assignment():
    calibration = native64.Calibration()
    p = calibration.parameters
    k = np.array([[1500.0, 0, 620], [0, 1501, 540], [0, 0, 1]])
    p.camera_matrix_left = k
    view = calibration.parameters.camera_matrix_left
    np.testing.assert_array_equal(view, k)
    assert view.dtype == np.float64
    k[0, 0] = 1.0  # the assigned array was copied
    assert calibration.parameters.camera_matrix_left[0, 0] == 1500.0
    view[0, 0] = 1234.0  # the returned array is the parameters' own memory
    assert calibration.parameters.camera_matrix_left[0, 0] == 1234.0
    p.translation = [1.0, 2.0, 3.0]
    assert calibration.parameters.translation.shape == (3, 1)


def test_point_lists_round_trip_as_float64_arrays():
    calibration = native64.Calibration()
    lists = [np.arange(234, dtype=np.float64).reshape(117, 2),
             np.ones((117, 2), dtype=np.int32)]
    calibration.left_targets = lists
    got = calibration.left_targets
    assert len(got) == 2 and all(g.dtype == np.float64 for g in got)
    np.testing.assert_array_equal(got[0], lists[0])
    np.testing.assert_array_equal(got[1], lists[1])
    pattern = calibration.nominal_pattern
    assert (pattern.columns, pattern.rows, pattern.spacing) == (9, 13, 30.0)
    np.testing.assert_array_equal(pattern.points[0], [30.0, 30.0, 0.0])
    np.testing.assert_array_equal(pattern.points[-1], [270.0, 390.0, 0.0])

    cone = native64.Cone()
    tracks = [np.random.default_rng(1).normal(size=(5, 3)) for _ in range(3)]
    cone.marker_tracks = tracks
    for got, want in zip(cone.marker_tracks, tracks):
        np.testing.assert_array_equal(got, want)
    cone.pivot = (1.0, 2.0, 3.0)
    assert cone.pivot == (1.0, 2.0, 3.0)
    reference = native64.Reference()
    reference.reference_points = tracks[0]
    np.testing.assert_array_equal(reference.reference_points, tracks[0])
    np.testing.assert_array_equal(reference.reference_transform, np.eye(4))


def test_options_structs_round_trip():
    for options, name, value in ((native64.DotRefinementOptions(), "edge_band_px", 2.5),
                                 (native64.DotRefinementOptions(), "passes", 2),
                                 (native64.DotRefinementOptions(), "fit_grey_levels", True),
                                 (native64.UnbiasedCalibrationOptions(), "max_rounds", 3),
                                 (native64.PivotFitOptions(), "min_frames", 12)):
        setattr(options, name, value)
        assert getattr(options, name) == value


def test_rigid_transform_and_sphere_fits():
    rng = np.random.default_rng(4)
    a = rng.normal(size=(6, 3)) * 50
    angle = 0.3
    r = np.array([[np.cos(angle), -np.sin(angle), 0], [np.sin(angle), np.cos(angle), 0], [0, 0, 1]])
    b = a @ r.T + [10.0, -5.0, 2.0]
    transform, error = native64.get_rigid_transform(a, b)
    np.testing.assert_allclose(transform[:3, :3], r, atol=1e-12)
    np.testing.assert_allclose(transform[:3, 3], [10.0, -5.0, 2.0], atol=1e-10)
    assert error < 1e-10
    np.testing.assert_allclose(native64.Cone.get_rigid_transform(a, b), transform, atol=1e-10)
    directions = rng.normal(size=(40, 3))
    sphere = [1.0, 2.0, 3.0] + 25.0 * directions / np.linalg.norm(directions, axis=1)[:, None]
    fit, rms = native64.fit_hyper_sphere(sphere)
    np.testing.assert_allclose(fit[0], [1.0, 2.0, 3.0, 25.0], atol=1e-9)
    assert rms == pytest.approx(0.0, abs=1e-9)
    assert native64.geo_dist(a, a) == [0.0] * 6


def test_target_files_round_trip_and_configure_a_calibration(tmp_path):
    shape = native64.TargetShape.plate()
    shape.name, shape.columns, shape.rows, shape.dots = "square", 10, 10, 100
    shape.spacing, shape.diameter, shape.margin, shape.unit = 20.0, 10.0, 15.0, "mm"
    path = str(tmp_path / "square.yml")
    native64.write_target_file(path, shape)
    read = native64.read_target_file(path)
    for name in ("name", "columns", "rows", "dots", "spacing", "diameter", "margin", "unit",
                 "empty_nodes"):
        assert getattr(read, name) == getattr(shape, name), name
    calibration = native64.Calibration()
    native64.configure_calibration(calibration, read)
    assert calibration.nominal_pattern.points.shape == (100, 3)
    assert (calibration.settings.dot_count, calibration.settings.grid_columns) == (100, 10)
    with pytest.raises(native64.FileError, match="no such file"):
        native64.read_target_file(str(tmp_path / "missing.yml"))
    (tmp_path / "bad.yml").write_text("%YAML:1.0\n---\ncolumns: 1\n")
    with pytest.raises(ValueError):
        native64.read_target_file(str(tmp_path / "bad.yml"))
