"""Work items for the pool tests, importable by spawned and forkserver workers."""

import os
import time


def scrambled_square(number):
    """Later items often finish first, so the finishing order differs from the input order."""
    time.sleep(0.002 * ((number * 7) % 5))
    return number * number


def fails_on_seven(number):
    if number == 7:
        raise ValueError(f"item {number} is bad")
    return number


def dies_on_three(number):
    if number == 3:
        os._exit(3)
    time.sleep(0.01)
    return number


# Work items that mark one item as long: the worker that takes it writes its process id to
# the file named by BUSY_FILE (an environment variable), then works for a few seconds.
SLOW_MARK = "slow"


def _work_slowly_if_marked(name):
    if SLOW_MARK in str(name):
        with open(os.environ["BUSY_FILE"], "w") as busy:
            busy.write(str(os.getpid()))
        time.sleep(4)


def slow_when_marked(item):
    _work_slowly_if_marked(item)
    return item


def slow_picture_reader(job):
    """Stands in for the verified search's picture reader."""
    from search_index_tools.verified.features import picture_features

    _work_slowly_if_marked(os.path.basename(job[0]))
    return picture_features(job)


# The module's own loader, set by a caller that rebinds the module's load_image before its
# workers fork; a spawned worker finds the module's name unchanged.
LOAD_IMAGE = None


def slow_image_loader(record):
    """Stands in for the module's image loader."""
    import search_index_lib

    _work_slowly_if_marked(os.path.basename(record.image_path))
    return (LOAD_IMAGE or search_index_lib.load_image)(record)


def fails_first_then_marks(item):
    """Item 0 fails at once; every other item works a little, then leaves a file named after
    it in the folder MARK_DIR (an environment variable) names."""
    if item == 0:
        raise ValueError("item 0 is bad")
    time.sleep(0.05)
    with open(os.path.join(os.environ["MARK_DIR"], str(item)), "w"):
        pass
    return item


def ignore_nothing():
    """A worker initializer that does nothing."""


def megabyte_of(number):
    """A result of a megabyte, every byte `number` (below 256)."""
    import numpy as np

    return np.full(2**20, number, np.uint8)


def megabyte_dying_halfway_on_three(number):
    """A megabyte result; item 3's worker is killed halfway through writing it back to the pool,
    as the out-of-memory killer or a kill -9 could kill it, and dies holding the pipe's lock."""
    if number == 3:
        import signal
        from multiprocessing.connection import Connection

        send = Connection._send

        def half_then_die(connection, data, *args):
            if len(data) > 65536:
                send(connection, bytes(data)[: len(data) // 2], *args)
                os.kill(os.getpid(), signal.SIGKILL)
            send(connection, data, *args)

        Connection._send = half_then_die
    time.sleep(0.01)
    return bytes([number % 256]) * (1 << 20)
