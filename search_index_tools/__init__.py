"""Companion tools for search_index_lib: host-side features beyond the module's own functions.

Nothing here is added to search_index_lib's namespace; the tools call the module as any host does.

- `cli`: the `find-images` command (also `python -m search_index_tools`).
- `searches`: the command's similar, crop and index jobs, built from the module's functions.
- `output`, `report`: text and JSON results, and the self-contained HTML report.
- `progress`: a process pool that reports finished items, bound as the module's `Pool`.
- `default_settings/constants.py`: the settings the command uses without --settings.
- `duplicates`: the duplicate finder (`find_duplicates(folders, ...)`, also importable from here)
  and its actions.
"""


def __getattr__(name):
    # The duplicate finder's API, imported on first use: pool workers import this package
    # and must not pay for numpy, OpenCV and faiss.
    if name in ("find_duplicates", "scan_duplicates"):
        from . import duplicates

        return getattr(duplicates, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
