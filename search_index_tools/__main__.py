"""python -m search_index_tools: the find-images command."""

import sys

from .cli import main

if __name__ == "__main__":
    sys.exit(main())
