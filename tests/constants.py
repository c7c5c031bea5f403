"""Settings used by the test suite (the module imports `constants` at start-up)."""

import numpy as np

CACHE_METADATA = "test_cache_metadata.txt"
CACHED_INDEXED = "test_cached_index.faiss"
VECTOR_TENSOR_SIZE = 32
DIMENSION = VECTOR_TENSOR_SIZE * VECTOR_TENSOR_SIZE
FILE_EXTENSION_REGEX = r"\.(jpe?g|png|bmp|gif|tiff?|webp)$"
SEARCH_RESULT_LIMIT = 5
FLOATTYPE = np.float32
