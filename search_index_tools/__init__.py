"""Companion tools for search_index_lib: host-side features beyond the module's own functions.

Nothing here is added to search_index_lib's namespace; the tools call the module as any host does.

- `cli`: the `find-images` command (also `python -m search_index_tools`).
- `searches`: the command's similar, crop and index jobs, built from the module's functions.
- `output`, `report`: text and JSON results, and the self-contained HTML report.
- `progress`: a process pool that reports finished items, bound as the module's `Pool`.
- `workers`: the command's pool: a worker per processor, within the available memory.
- `formats`: the HEIC/HEIF and AVIF decoders, registered in the command and its workers.
- `default_settings/constants.py`: the settings the command uses without --settings.
"""
