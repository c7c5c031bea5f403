"""The user's cache folder, where the settings this package ships keep search_index_lib's caches.

Used by the command's default settings and by the example settings (`examples/constants.py`),
so the rule is written once.
"""

import os
from pathlib import Path

from .cache_location import FINGERPRINT_NAME, INDEX_NAME


def user_cache_folder(name: str = "search_index_lib") -> Path:
    """$XDG_CACHE_HOME/`name` (or ~/.cache/`name`), made when missing (where it can be). The base
    directory convention only allows an absolute XDG_CACHE_HOME: an empty or relative one is ignored,
    since it would scatter caches over whatever folder the program happens to run in."""
    configured = os.environ.get("XDG_CACHE_HOME", "")
    base = Path(configured) if os.path.isabs(configured) else Path.home() / ".cache"
    folder = base / name
    try:
        folder.mkdir(parents=True, exist_ok=True)
    except OSError:
        pass  # find-images then names this folder, and --cache-dir puts the caches elsewhere
    return folder


def user_cache_files() -> tuple[str, str]:
    """The settings CACHE_METADATA and CACHED_INDEXED in the user's cache folder, under the
    names --cache-dir gives them too."""
    folder = user_cache_folder()
    return str(folder / FINGERPRINT_NAME), str(folder / INDEX_NAME)
