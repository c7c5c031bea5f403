"""Ending a thread pool whole: the work not started is dropped, the work started is awaited,
also when Ctrl-C comes again meanwhile.

The command's thread pools run native code that lets go of the interpreter (pair comparisons,
keypoints, template scans). A thread's join cut short by a second Ctrl-C marks the thread
ended while it still runs, and a thread left inside native code when the interpreter ends is
stopped there, which aborts the whole process. So the wait is on the work, not on the threads.
"""

from __future__ import annotations

import time
from collections.abc import Sequence
from concurrent.futures import Future, ThreadPoolExecutor
from typing import Any

# How often the work started is looked at while it is awaited.
WAIT_STEP = 0.005


def shut_down_whole(executor: ThreadPoolExecutor, submitted: Sequence[Future[Any]]) -> None:
    """Drops the work not started and waits until the work started is done, also when Ctrl-C
    comes again meanwhile (an impatient user presses it twice), then raises that Ctrl-C.

    `submitted`: every piece of work that may not be done yet. It looks at each piece in turn
    (concurrent.futures.wait, cut short while it takes every piece's lock, could leave one
    held, and the thread finishing that piece would then wait forever)."""
    interrupted = False
    while True:
        try:
            executor.shutdown(wait=False, cancel_futures=True)
            break
        except KeyboardInterrupt:
            interrupted = True
    for future in submitted:
        while True:
            try:
                if future.done():  # finished, failed, or cancelled before it started
                    break
                time.sleep(WAIT_STEP)
            except KeyboardInterrupt:
                interrupted = True
    executor.shutdown(wait=not interrupted)  # the threads only have to take their end now
    if interrupted:
        raise KeyboardInterrupt
