"""Tracks a tool's tracker in a stereo pair of videos and prints its dots in 3-D, frame by frame.

    python3 track_video.py --calib calib.yml --left left.avi --right right.avi [--tool tool.yml]

Any source cv2.VideoCapture opens works: video files, cameras, or image sequences such as
'series/tool/left_%03d.png'. Each camera has its own detector, whose search region follows the
tracker from frame to frame; where the tracker is lost, the whole frame is searched again. The
tracker is the tool file's (dotcal pivot --out writes one), or the 7-dot tracker. Rows:
frame,dot,x,y,z in the rectified left camera's frame.
"""

import argparse

import cv2

import native64


def tracker_detector(first_frame, tracker):
    """A detector for the tracker (a native64.TargetShape), set up on the first frame: Otsu's
    threshold, and the size of the tracker's outline there."""
    detector = native64.ImageProcessor()
    settings = detector.settings
    native64.configure_detector(settings, tracker)
    settings.threshold_state = 2
    settings.size_scale = measure_size_scale(settings, first_frame)
    return detector


def measure_size_scale(settings, image):
    """The size_scale that makes the detector expect the target's outline at the length seen in
    `image`: the longest bright region with as many holes as the target has dots, at Otsu's
    threshold. The detector accepts outlines within 0.5 to 2 times its expected length, which
    follows the numeric dot_spacing; without this a tracker seen nearer or farther is missed."""
    threshold, _ = cv2.threshold(image, 0, 255, cv2.THRESH_BINARY + cv2.THRESH_OTSU)
    survey = native64.survey_targets(settings, image, int(threshold))
    lengths = [r.outline_length for r in survey.regions if r.holes == settings.dot_count]
    if not lengths:
        return 1.0
    return max(lengths) / survey.ideal_outline_length_at_unit_scale


def frames(source):
    """The frames of a cv2.VideoCapture source as 2-D uint8 arrays."""
    capture = cv2.VideoCapture(source)
    if not capture.isOpened():
        raise SystemExit(f"cannot open {source}")
    while True:
        ok, frame = capture.read()
        if not ok:
            return
        yield frame if frame.ndim == 2 else cv2.cvtColor(frame, cv2.COLOR_BGR2GRAY)


def follow(camera, image, tracker):
    """The tracker's dots in this camera's frame, or None. The search region follows the tracker;
    where it is lost (it moved past the region's margin, or nearer or farther), a detector set up
    afresh on the frame searches the whole of it."""
    if camera["detector"] is not None:
        targets, camera["roi"], camera["target"] = camera["detector"].track_targets(
            image, camera["roi"], camera["target"])
        if targets is not None:
            return targets
    camera["detector"] = tracker_detector(image, tracker)
    whole = (0, 0, image.shape[1], image.shape[0])
    targets, camera["roi"], camera["target"] = camera["detector"].track_targets(image, whole, whole)
    return targets


def track_stereo(calibration, left_source, right_source, tracker=None):
    """Yields (frame index, (N, 3) dots or None) for every frame pair of the two sources."""
    tracker = tracker or native64.TargetShape.tracker()
    cameras = [{"detector": None, "frames": frames(source), "roi": None, "target": None}
               for source in (left_source, right_source)]
    index = 0
    while True:
        found = []
        for camera in cameras:
            image = next(camera["frames"], None)
            if image is None:
                return
            found.append(follow(camera, image, tracker))
        if found[0] is not None and found[1] is not None:
            yield index, calibration.triangulate(found[0], found[1])
        else:
            yield index, None
        index += 1


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calib", required=True, help="calibration file")
    parser.add_argument("--left", required=True, help="left video, camera or image sequence")
    parser.add_argument("--right", required=True, help="right video, camera or image sequence")
    parser.add_argument("--tool", help="tool file whose tracker to follow")
    args = parser.parse_args()
    calibration = native64.read_calibration_file(args.calib)
    tracker = native64.read_tool_file(args.tool).tracker if args.tool else None
    print("frame,dot,x,y,z")
    for index, dots in track_stereo(calibration, args.left, args.right, tracker):
        if dots is None:
            print(f"{index},lost,,,")
            continue
        for k, (x, y, z) in enumerate(dots):
            print(f"{index},{k},{x:.4f},{y:.4f},{z:.4f}")


if __name__ == "__main__":
    main()
