"""Checks of the crop before any folder work.

The searches find a crop that is no picture, or has nothing to match, only after listing the
folder (and the similarity search a bad query only after indexing it: half an hour for
100,000 photographs). The command checks first. The crop is read as the module reads it
(Pillow's header within its size limit, then OpenCV's greyscale decode) and its ORB keypoints
are found with the module's default detector for crop --plain; the verified search (crop's
default) checks with its own crop reading.

The detector runs in a separate process: ORB in the command's process could leave a worker
forked from it later waiting for ever for OpenCV's threads.
"""

import multiprocessing
from typing import Final

from .pool_watch import ignore_interrupts

NOT_A_PICTURE: Final = None


def crop_keypoints(path: str) -> int | None:
    """The number of keypoints the module's matching would find in the crop at `path`, or
    NOT_A_PICTURE when the module could not read it as a picture."""
    import io

    import cv2
    import numpy as np
    from PIL import Image

    try:
        with open(path, "rb") as stream:
            content = stream.read()
        with Image.open(io.BytesIO(content)):
            pass  # the header alone: its declared size must be within Pillow's limit
    except Exception:  # noqa: BLE001 - whatever Pillow or the file says, it is no picture here
        return NOT_A_PICTURE
    grey = cv2.imdecode(np.frombuffer(content, dtype=np.uint8), cv2.IMREAD_GRAYSCALE) if content else None
    if grey is None:
        return NOT_A_PICTURE
    detector = cv2.ORB_create()  # type: ignore[attr-defined]  # missing from OpenCV's type stubs
    keypoints, descriptors = detector.detectAndCompute(grey, None)
    return 0 if descriptors is None else len(keypoints)


def verified_crop_usable(path: str) -> bool | None:
    """For the verified search: NOT_A_PICTURE, or whether the crop has keypoints enough to
    verify a placement or grey-level structure for the pixel stage."""
    from .verified import pixels, search

    try:
        grey, features = search._crop_features(path)
    except (OSError, ValueError):
        return NOT_A_PICTURE
    enough_points = features is not None and len(features.points) >= search.MIN_INLIERS
    return enough_points or pixels.PixelSearch(grey).possible


def crop_problem(path: str, verified: bool = False) -> str | None:
    """Why the crop at `path` cannot be searched for (one line), or None."""
    context = multiprocessing.get_context()
    # Ctrl-C is left to the caller, whose leaving the block ends the worker: a worker that
    # took it could die holding the task queue's lock, and ending the pool would then wait
    # for that lock for ever.
    with context.Pool(1, initializer=ignore_interrupts) as pool:
        if verified:
            usable = pool.apply(verified_crop_usable, (path,))
            if usable is NOT_A_PICTURE:
                return f"crop image cannot be read as a picture: {path}"
            if not usable:
                return (
                    f"crop image has nothing to match (too few keypoints and no grey-level structure): {path}"
                )
            return None
        found = pool.apply(crop_keypoints, (path,))
    if found is NOT_A_PICTURE:
        return f"crop image cannot be read as a picture: {path}"
    if found == 0:
        return f"crop image has no keypoints to match (a flat or tiny region?): {path}"
    return None
