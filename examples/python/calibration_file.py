"""Stereo calibration files in dotcal's format (OpenCV YAML: M1, D1, M2, D2, R, T, E, F, R1, R2,
P1, P2, Q, image size and RMS values), read into and written from a native64.Calibration."""

import cv2
import numpy as np

import native64

# File key -> CalibrationParameters field.
KEYS = {"M1": "camera_matrix_left", "D1": "distortion_left", "M2": "camera_matrix_right",
        "D2": "distortion_right", "R": "rotation", "T": "translation", "E": "essential",
        "F": "fundamental", "R1": "rectification_left", "R2": "rectification_right",
        "P1": "projection_left", "P2": "projection_right", "Q": "disparity_to_depth"}


def write(path, calibration, image_size):
    """Writes the calibration's parameters for images of image_size (width, height)."""
    storage = cv2.FileStorage(str(path), cv2.FILE_STORAGE_WRITE)
    storage.write("image_width", int(image_size[0]))
    storage.write("image_height", int(image_size[1]))
    for key, field in KEYS.items():
        storage.write(key, np.asarray(getattr(calibration.parameters, field)))
    storage.write("rms_left", calibration.rms_left)
    storage.write("rms_right", calibration.rms_right)
    storage.write("rms_stereo", calibration.rms_stereo)
    storage.release()


def read(path):
    """A Calibration that triangulates with the file's parameters."""
    storage = cv2.FileStorage(str(path), cv2.FILE_STORAGE_READ)
    if not storage.isOpened():
        raise FileNotFoundError(path)
    calibration = native64.Calibration()
    for key, field in KEYS.items():
        matrix = storage.getNode(key).mat()
        if matrix is None:
            raise ValueError(f"{path}: {key} is missing")
        if key in ("D1", "D2"):  # triangulation reads 8 coefficients
            matrix = np.pad(matrix.reshape(1, -1), ((0, 0), (0, 8 - matrix.size)))
        setattr(calibration.parameters, field, matrix)
    width = int(storage.getNode("image_width").real())
    height = int(storage.getNode("image_height").real())
    calibration.settings.image_rect = (0, 0, width, height)
    return calibration
