"""What a pool worker has imported before it runs anything: run by fork-server workers, so it
imports nothing itself."""

import sys


def loaded(name):
    return name in sys.modules
