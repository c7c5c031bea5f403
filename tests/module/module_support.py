"""The module's function and setting names, shared by the start-up and function tests."""

FUNCTIONS = [
    "padding_square_image",
    "load_image",
    "load_images",
    "absolute_path_recursive_a_directory",
    "get_images_absolute_path_recursive_a_directory",
    "compute_md5_of_files",
    "is_images_in_dir_changed",
    "search_images",
    "index_a_directory",
    "search_image",
    "live_search_find_matched",
    "live_search_process_image",
    "live_search_similar_cropped",
    "cropped_search",
]
SETTINGS = [
    "CACHE_METADATA",
    "CACHED_INDEXED",
    "DIMENSION",
    "FILE_EXTENSION_REGEX",
    "SEARCH_RESULT_LIMIT",
    "VECTOR_TENSOR_SIZE",
    "FLOATTYPE",
]
