"""Verified cropped search: which pictures of a folder really contain a crop, and where.

- `search`: the search itself (keypoints verified by geometry, then placement by grey levels).
- `features`: reading a picture safely and making its keypoint features and thumbnails.
- `pixels`: placing a crop by its grey levels, for smooth pictures.
- `cache`: the SQLite store of picture features.
- `_verified_match`: the native part (matching, geometric verification, template scans), built
  from the sources in `native/`.
- `reading_pool`: the reading workers' pool and how many workers it has.

The search's names are loaded from `search` at first use: the reading workers import
`features` alone, and should not pay for the search's candidate index, store and pixel stage.
"""

from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from .search import VerifiedMatch, verified_cropped_matches, verified_cropped_search

__all__ = ["VerifiedMatch", "verified_cropped_matches", "verified_cropped_search"]


def __getattr__(name: str) -> object:
    if name in __all__:
        from . import search

        return getattr(search, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(__all__))
