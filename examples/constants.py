"""Example settings for search_index_lib.

The module imports a top-level module named `constants` when it is first imported and takes
these seven names from it. Put a module like this one on the import path of your program
(for example next to your main script) and adjust the values.
"""

import numpy as np

# The user's cache folder ($XDG_CACHE_HOME/search_index_lib or ~/.cache/search_index_lib),
# by the rule the find-images command uses (installed with the module).
from search_index_tools.cache_folder import user_cache_files

# Where the two cache files live (any two paths do). One fingerprint file and one index file
# serve whatever folder is searched; searching another folder replaces them.
# CACHE_METADATA: a text file holding the fingerprint (an MD5 of paths and modification
# times) of the folder that was last checked.
# CACHED_INDEXED: the cached similarity index (faiss's own file format), with a small row
# manifest beside it.
CACHE_METADATA, CACHED_INDEXED = user_cache_files()

# Every image is padded square with white, turned grey and resized to this side length (pixels).
VECTOR_TENSOR_SIZE = 64

# Length of one image vector: must be VECTOR_TENSOR_SIZE squared.
DIMENSION = VECTOR_TENSOR_SIZE * VECTOR_TENSOR_SIZE

# Files whose absolute path matches this pattern (searched anywhere in the path, ignoring
# letter case) are treated as images. Anchor it with $ so that folder names do not match.
FILE_EXTENSION_REGEX = r"\.(jpe?g|png|bmp|gif|tiff?|webp)$"

# How many nearest images a similarity search returns (a plain int, at least 1).
SEARCH_RESULT_LIMIT = 10

# Element type of the index: faiss works on 32-bit floats.
FLOATTYPE = np.float32
