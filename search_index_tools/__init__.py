"""Companion tools for search_index_lib: host-side features beyond the module's own functions.

Nothing here is added to search_index_lib's namespace; the tools call the module as any host does.
"""
