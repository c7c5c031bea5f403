"""Settings of the demo: its caches live in the demo's own work folder."""

from pathlib import Path

import numpy as np

_WORK = Path(__file__).resolve().parent / "work"
(_WORK / "cache").mkdir(parents=True, exist_ok=True)

CACHE_METADATA = str(_WORK / "cache" / "folder_fingerprint.txt")
CACHED_INDEXED = str(_WORK / "cache" / "similarity_index.faiss")
VECTOR_TENSOR_SIZE = 64
DIMENSION = VECTOR_TENSOR_SIZE * VECTOR_TENSOR_SIZE
FILE_EXTENSION_REGEX = r"\.(jpe?g|png)$"
SEARCH_RESULT_LIMIT = 5
FLOATTYPE = np.float32
