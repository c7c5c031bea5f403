"""Verified cropped search: which pictures of a folder really contain a crop, and where.

- `search`: the search itself (keypoints verified by geometry, then placement by grey levels).
- `features`: reading a picture safely and making its keypoint features and thumbnails.
- `pixels`: placing a crop by its grey levels, for smooth pictures.
- `cache`: the SQLite store of picture features.
- `_verified_match`: the native part (matching, geometric verification, template scans), built
  from the sources in `native/`.
"""

from .search import VerifiedMatch, verified_cropped_matches, verified_cropped_search

__all__ = ["VerifiedMatch", "verified_cropped_matches", "verified_cropped_search"]
