"""Stand-ins for the per-file functions that pool workers run, found by reference (module and
name) in every worker, also under spawn and forkserver. They behave like the module's own
functions except for files whose name holds a marker: there the worker kills itself, or
waits for ever. Every worker notes its process id in a "pids" folder beside the images'
folder, so a test can check that none is left."""

import os
import signal
import time
from pathlib import Path

import search_index_lib

# Taken when this module is imported, before a test rebinds the module's names.
LOAD_IMAGE = search_index_lib.load_image
PROCESS_IMAGE = search_index_lib.live_search_process_image

DIE = "die-here"
WAIT = "wait-here"


def _note_pid(image_path):
    pids = Path(image_path).parent.parent / "pids"
    pids.mkdir(exist_ok=True)
    (pids / str(os.getpid())).touch()


def _act_on(image_path):
    _note_pid(image_path)
    if DIE in image_path:
        os.kill(os.getpid(), signal.SIGKILL)
    if WAIT in image_path:
        (Path(image_path).parent.parent / "waiting").touch()
        time.sleep(600)


def load_image(record):
    _act_on(record.image_path)
    return LOAD_IMAGE(record)


def live_search_process_image(payload):
    _act_on(payload[0])
    return PROCESS_IMAGE(payload)


def _is_pool_worker(pid, own_command):
    """Children of a worker's parent are its sibling workers, except the helper processes of
    multiprocessing itself (the resource tracker, a fork server started by the parent)."""
    try:
        command = Path(f"/proc/{pid}/cmdline").read_bytes()
    except OSError:
        return False
    return not any(
        mark in command and mark not in own_command for mark in (b"resource_tracker", b"forkserver")
    )


def _children(parent):
    """Process ids of the children of `parent`, from each process's status in /proc."""
    children = []
    for status in Path("/proc").glob("[0-9]*/stat"):
        try:
            fields = status.read_text().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(fields[1]) == parent:
            children.append(int(status.parent.name))
    return children


def kill_siblings_then_self(record):
    """Kills the pool's other workers while they wait for work (each then holds the task
    queue's lock, or waits for it), then itself."""
    _note_pid(record.image_path)
    time.sleep(0.5)
    parent = os.getppid()
    own_command = Path(f"/proc/{os.getpid()}/cmdline").read_bytes()
    for pid in _children(parent):
        if pid != os.getpid() and _is_pool_worker(pid, own_command):
            os.kill(pid, signal.SIGKILL)
    time.sleep(0.2)
    os.kill(os.getpid(), signal.SIGKILL)


def live_pids(folder):
    """The noted worker processes that still exist (a zombie that nobody reaped counts)."""
    pids = Path(folder) / "pids"
    noted = [int(p.name) for p in pids.iterdir()] if pids.exists() else []
    return [pid for pid in noted if Path(f"/proc/{pid}").exists()]
