"""Settings that `find-images` uses without --settings.

search_index_lib imports a top-level module named `constants`; the command puts this folder
first on the import path. The two cache files live in the user's cache folder,
$XDG_CACHE_HOME/search_index_lib (or ~/.cache/search_index_lib).
"""

import numpy as np

from search_index_tools.cache_folder import user_cache_files

CACHE_METADATA, CACHED_INDEXED = user_cache_files()
VECTOR_TENSOR_SIZE = 64
DIMENSION = VECTOR_TENSOR_SIZE * VECTOR_TENSOR_SIZE
# HEIC/HEIF and AVIF are read through Pillow's plugins, which the command registers.
FILE_EXTENSION_REGEX = r"\.(jpe?g|png|bmp|gif|tiff?|webp|hei[cf]|hif|avif)$"
SEARCH_RESULT_LIMIT = 10
FLOATTYPE = np.float32
