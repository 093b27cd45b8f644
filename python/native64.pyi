"""Type stubs of the native64 module (see the docstrings in the module for each item)."""

from typing import List, Optional, Sequence, Tuple

import numpy as np
import numpy.typing as npt

Image = npt.NDArray[np.uint8]  # 2-D, (height, width)
Points2 = npt.ArrayLike  # (N, 2) numbers
Points3 = npt.ArrayLike  # (N, 3) numbers
Array = npt.NDArray[np.float64]
Rect = Tuple[int, int, int, int]  # x, y, width, height
Vec3 = Tuple[float, float, float]

class Error(RuntimeError):
    code: int
    err: str
    func: str

class ImageProcessorSettings:
    image_type: int
    contour_method: int
    contour_mode: int
    reserved0: int
    threshold_state: int
    threshold: int
    mean_grey: int
    reference_grey: int
    reserved1: int
    state_counter: int
    column_offset: int
    image_rect: Rect
    roi_margin: int
    refine_margin: int
    refine_power: int
    fixed_roi: bool
    fixed_threshold: bool
    reserved_flag0: bool
    debug: bool
    grid_columns: int
    grid_rows: int
    reserved_flag1: bool
    grid_map: List[List[int]]
    dot_spacing: float
    dot_diameter: float
    size_scale: float
    dot_count: int
    def __init__(self) -> None: ...
    def __copy__(self) -> ImageProcessorSettings: ...

class ImageProcessor:
    @property
    def settings(self) -> ImageProcessorSettings: ...
    def __init__(self) -> None: ...
    def __copy__(self) -> ImageProcessor: ...
    def share_settings(self, other: ImageProcessor) -> None: ...
    def find_targets(self, image: Image) -> Optional[Array]: ...
    def track_targets(
        self, image: Image, roi: Rect, target_rect: Rect, exclusions: Sequence[Rect] = ...
    ) -> Tuple[Optional[Array], Rect, Rect]: ...
    def find_targets_by_sweep(self, image: Image) -> Optional[Tuple[Array, int]]: ...

class SurveyedRegion:
    bounds: Rect
    outline_length: int
    holes: int
    dot_sized_holes: int
    dot_length_low: float
    dot_length_high: float
    outline_fits: bool
    qualifies: bool

class TargetSurvey:
    threshold: int
    min_outline_length: float
    max_outline_length: float
    ideal_outline_length: float
    ideal_outline_length_at_unit_scale: float
    regions: List[SurveyedRegion]

def survey_targets(settings: ImageProcessorSettings, image: Image, threshold: int) -> TargetSurvey: ...

class DotRefinementOptions:
    edge_band_px: float
    gradient_sigma_px: float
    passes: int
    refit_offset_px: float
    max_window_radius_px: float
    min_gradient_share: float
    min_outward_cos: float
    max_foreign_share: float
    min_sector_share: float
    min_edge_pixels: int
    min_radius_px: float
    max_shift_px: float
    max_quality_px: float
    fit_grey_levels: bool
    def __init__(self) -> None: ...

class RefinedDot:
    centre: Tuple[float, float]
    ellipse_centre: Tuple[float, float]
    semi_major: float
    semi_minor: float
    angle_deg: float
    quality: float
    edge_pixels: int
    flags: int

DOT_AT_BORDER: int
DOT_SATURATED: int
DOT_CROWDED: int
DOT_FEW_EDGE_PIXELS: int
DOT_POOR_FIT: int

def refine_dots(
    image: Image, centres: Points2, options: DotRefinementOptions = ...
) -> List[RefinedDot]: ...
def refined_centres(dots: Sequence[RefinedDot]) -> Array: ...

class NominalPattern:
    columns: int
    rows: int
    spacing: float
    points: Array
    def __init__(self) -> None: ...

class CalibrationParameters:
    fundamental: Optional[Array]
    essential: Optional[Array]
    camera_matrix_left: Optional[Array]
    camera_matrix_right: Optional[Array]
    projection_left: Optional[Array]
    projection_right: Optional[Array]
    rectification_left: Optional[Array]
    rectification_right: Optional[Array]
    distortion_left: Optional[Array]
    distortion_right: Optional[Array]
    disparity_to_depth: Optional[Array]
    rotation: Optional[Array]
    translation: Optional[Array]
    def __init__(self) -> None: ...

class Calibration:
    @property
    def settings(self) -> ImageProcessorSettings: ...
    nominal_pattern: NominalPattern
    left_targets: List[Array]
    right_targets: List[Array]
    parameters: CalibrationParameters
    rms_left: float
    rms_right: float
    rms_stereo: float
    def __init__(self) -> None: ...
    def __copy__(self) -> Calibration: ...
    def extract_pair(self, left: Image, right: Image) -> bool: ...
    def compute_stereo_calibration(self) -> None: ...
    def triangulate(self, left: Points2, right: Points2) -> Array: ...

class UnbiasedCalibrationOptions:
    max_rounds: int
    tolerance_px: float
    dot_radius: float
    def __init__(self) -> None: ...

class UnbiasedCalibrationResult:
    parameters: CalibrationParameters
    rms_left: float
    rms_right: float
    rms_stereo: float
    measured_parameters: CalibrationParameters
    measured_rms_stereo: float
    rounds: int
    change_per_round: List[float]
    converged: bool
    left_targets: List[Array]
    right_targets: List[Array]
    pair_used: List[bool]
    uncorrected_left: List[int]
    uncorrected_right: List[int]

def calibrate_unbiased(
    calibration: Calibration,
    left_centres: Sequence[Points2],
    right_centres: Sequence[Points2],
    options: UnbiasedCalibrationOptions = ...,
) -> UnbiasedCalibrationResult: ...
def outline_centre_bias(
    camera_matrix: npt.ArrayLike,
    distortion: npt.ArrayLike,
    rotation: npt.ArrayLike,
    tvec: npt.ArrayLike,
    centres: Points3,
    radius: float,
    normal: npt.ArrayLike = ...,
) -> Array: ...

class PointUncertainty:
    point: Vec3
    sigma: Vec3
    total: float

class CalibrationUncertainty:
    centre_noise_px: float
    views: int
    observations: int
    parameters: int
    left: List[float]
    right: List[float]
    rotation: List[float]
    translation: List[float]
    baseline: float
    covariance: Array
    median_distance: float
    at_centre: PointUncertainty
    at_corner: PointUncertainty

def triangulated_point_uncertainty(
    parameters: CalibrationParameters,
    covariance: npt.ArrayLike,
    centre_noise_px: float,
    left_pixel: npt.ArrayLike,
    depth: float,
) -> PointUncertainty: ...
def estimate_calibration_uncertainty(calibration: Calibration) -> CalibrationUncertainty: ...

class Cone:
    euler_order: int
    fit_method: int
    marker_tracks: List[Array]
    marker_offsets: Array
    pivot: Vec3
    reserved_value: float
    def __init__(self) -> None: ...
    def __copy__(self) -> Cone: ...
    def calibrate(self, pivot: Optional[npt.ArrayLike] = ...) -> None: ...
    @staticmethod
    def get_rigid_transform(a: Points3, b: Points3) -> Array: ...
    def find_transformation(self, observed: Points3, model: Points3) -> Tuple[Array, float]: ...
    def find_transformation_old(
        self, observed: Points3, offset: npt.ArrayLike = ...
    ) -> Tuple[bool, Vec3, Vec3, Array]: ...

class Reference:
    reference_points: Array
    measured_points: Array
    reference_transform: Array
    def __init__(self) -> None: ...
    def __copy__(self) -> Reference: ...
    def compute_reference_transform(self, offset: npt.ArrayLike = ...) -> None: ...
    def transform(self, points: Points3) -> Array: ...

class PivotFitOptions:
    outlier_factor: float
    min_kept_share: float
    refine_geometric: bool
    min_frames: int
    min_tilt_deg: float
    spin_to_tilt_ratio: float
    def __init__(self) -> None: ...

class PivotFitResult:
    solved: bool
    tip_in_tool: Vec3
    pivot: Vec3
    rms: float
    frame_residuals: List[float]
    frame_used: List[bool]
    frames_used: int
    frames_rejected: int
    refine_iterations: int
    median_tilt_deg: float
    max_tilt_deg: float
    spin_range_deg: float
    warnings: int

PIVOT_FEW_FRAMES: int
PIVOT_LITTLE_TILT: int
PIVOT_SPIN_ONLY: int
PIVOT_MANY_REJECTED: int

def pivot_from_poses(
    poses: Sequence[npt.ArrayLike], options: PivotFitOptions = ...
) -> PivotFitResult: ...
def pivot_from_markers(
    frames: Sequence[Points3], model: Points3, options: PivotFitOptions = ...
) -> Tuple[PivotFitResult, List[Array]]: ...
def mean_marker_model(frames: Sequence[Points3]) -> Array: ...

class SharedSphereFit:
    solved: bool
    centre: Vec3
    radii: List[float]
    rms: float

def fit_shared_sphere(tracks: Sequence[Points3]) -> SharedSphereFit: ...
def pivot_warning_texts(warnings: int, options: PivotFitOptions = ...) -> List[str]: ...
def fit_hyper_sphere(points: npt.ArrayLike) -> Tuple[Array, float]: ...
def get_rigid_transform(
    a: npt.ArrayLike, b: npt.ArrayLike, fix_reflection: bool = ...
) -> Tuple[Array, float]: ...

class Stopwatch:
    def __init__(self) -> None: ...
    def start(self) -> None: ...
    def stop(self) -> None: ...
    def get_elapsed_time(self) -> float: ...

def geo_dist(a: Points3, b: Points3) -> List[float]: ...
def mat_to_string(matrix: npt.ArrayLike) -> str: ...
def show_mat(matrix: npt.ArrayLike) -> None: ...

class FileError(ValueError): ...

class TargetShape:
    name: str
    columns: int
    rows: int
    dots: int
    spacing: float
    diameter: float
    margin: float
    unit: str
    empty_nodes: List[int]
    def __init__(self) -> None: ...
    @staticmethod
    def plate() -> TargetShape: ...
    @staticmethod
    def tracker() -> TargetShape: ...
    def check(self) -> None: ...
    def metres_per_unit(self) -> float: ...

def read_target_file(path: str) -> TargetShape: ...
def write_target_file(path: str, shape: TargetShape) -> None: ...
def configure_detector(settings: ImageProcessorSettings, shape: TargetShape) -> None: ...
def configure_calibration(calibration: Calibration, shape: TargetShape) -> None: ...

class ToolDefinition:
    name: str
    unit: str
    tracker: TargetShape
    markers: Array
    tip: Vec3
    pivot_residual: float
    frames_used: int
    frames_rejected: int
    tilt_median_deg: float
    tilt_max_deg: float
    method: str
    created: str
    calibration_file: str
    calibration_checksum: str
    def __init__(self) -> None: ...

def read_tool_file(path: str) -> ToolDefinition: ...
def write_tool_file(path: str, tool: ToolDefinition) -> None: ...
def tool_frame_from_markers(markers: Points3) -> Array: ...
def read_calibration_file(path: str) -> Calibration: ...
def write_calibration_file(
    path: str, calibration: Calibration, image_size: Tuple[int, int]
) -> None: ...
