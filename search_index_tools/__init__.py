"""Companion tools for search_index_lib: host-side features beyond the module's own functions.

Nothing here is added to search_index_lib's namespace; the tools call the module as any host does.

- `cli`: the `find-images` command (also `python -m search_index_tools`).
- `searches`: the command's similar, crop and index jobs, built from the module's functions.
- `output`, `report`: text and JSON results, and the self-contained HTML report.
- `progress`: a process pool that reports finished items, bound as the module's `Pool`.
- `pool_watch`: what every pool of the command does when one of its workers dies.
- `file_identity`: whether a file is still the one work was done on.
- `verified`: the verified cropped search; `verified_cropped_search`, `verified_cropped_matches`
  and `VerifiedMatch` are importable from this package too.
- `ray_pool`, `ray_worker`: the module's pool work on a Ray cluster.
- `readable_listing`, `query_check`, `report_target`, `cache_location`, `library_output`: the
  command's checks (unreadable pictures and folders, the query, where a report may go, the
  cache folder) and its capture of what the picture libraries print.
- `workers`: the command's pool: a worker per processor, within the available memory.
- `thread_shutdown`: ending the command's thread pools whole, also through a second Ctrl-C.
- `formats`: the HEIC/HEIF and AVIF decoders, registered in the command and its workers.
- `cache_folder`, `default_settings/constants.py`: the settings the command uses without --settings.
- `duplicates`: the duplicate finder (`find_duplicates(folders, ...)`, also importable from here)
  and its actions.
"""

# The verified search and the duplicate finder need OpenCV, numpy and faiss; this package is
# also imported by pool workers and settings modules, so each is loaded at first use of one of
# its names only.
_LAZY_NAMES = {
    "VerifiedMatch": "verified",
    "verified_cropped_matches": "verified",
    "verified_cropped_search": "verified",
    "find_duplicates": "duplicates",
    "scan_duplicates": "duplicates",
}


def __getattr__(name: str) -> object:
    if name in _LAZY_NAMES:
        import importlib

        return getattr(importlib.import_module(f".{_LAZY_NAMES[name]}", __name__), name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(_LAZY_NAMES))
