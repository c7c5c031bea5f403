"""A small local multi-node Ray cluster for the tests, kept on the loopback address and in
its own temporary folder, a way to find the processes it started, and the tests' pictures."""

import json
import os
import select
import subprocess
import sys
import time
from pathlib import Path

from PIL import Image
from testsupport import save_photo

# Ray otherwise binds its services to the machine's outward address; with this set every
# node, the driver and the workers use the loopback address.
LOOPBACK_ENV = {"RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER": "0", "RAY_USAGE_STATS_ENABLED": "0"}


class LocalCluster:
    """`nodes` Ray nodes of one CPU each on this machine, run by ray_cluster_host.py."""

    def __init__(self, nodes, timeout=240):
        env = {**os.environ, **LOOPBACK_ENV}
        self._host = subprocess.Popen(
            [sys.executable, str(Path(__file__).with_name("ray_cluster_host.py")), str(nodes)],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=subprocess.DEVNULL,
            env=env,
            text=True,
        )
        ready, _, _ = select.select([self._host.stdout], [], [], timeout)
        line = self._host.stdout.readline() if ready else ""
        if not line:
            self.shutdown()
            raise RuntimeError(f"the local Ray cluster did not start within {timeout} s")
        described = json.loads(line)
        self.address = described["address"]
        self.node_ids = described["node_ids"]
        self.session_dir = described["session_dir"]

    def shutdown(self):
        if self._host.poll() is None:
            self._host.stdin.close()
            try:
                self._host.wait(timeout=60)
            except subprocess.TimeoutExpired:
                self._host.kill()
                self._host.wait()


def processes_of(session_dir):
    """Process ids whose command line names the cluster's session folder (its GCS, raylets,
    agents and workers all carry it)."""
    marker = os.path.basename(session_dir).encode()
    found = []
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit() or int(entry.name) == os.getpid():
            continue
        try:
            command = (entry / "cmdline").read_bytes()
            state = (entry / "stat").read_text().rsplit(")", 1)[1].split()[0]
        except OSError:
            continue
        if marker in command and state != "Z":
            found.append(int(entry.name))
    return found


def wait_until_gone(session_dir, timeout=20.0):
    """The cluster's processes still running after `timeout` seconds (ideally none)."""
    deadline = time.monotonic() + timeout
    left = processes_of(session_dir)
    while left and time.monotonic() < deadline:
        time.sleep(0.2)
        left = processes_of(session_dir)
    return left


def photo_folder(folder, count):
    """`count` photo-like JPEG and PNG files of differing sizes, two levels deep."""
    for number in range(count):
        suffix = "png" if number % 3 == 0 else "jpg"
        save_photo(
            Path(folder) / f"set{number % 2}" / f"photo{number:02d}.{suffix}",
            width=200 + 20 * number,
            height=150 + 10 * number,
            seed=number,
        )
    return str(folder)


def crop_of(photo_path, crop_path, box=(40, 30, 160, 120)):
    """A region cut from a photograph, as the cropped search is given it."""
    with Image.open(photo_path) as picture:
        picture.crop(box).save(crop_path)
    return str(crop_path)


def broken_settings(folder):
    """A settings module that lacks a setting the module takes at start-up."""
    Path(folder).mkdir(parents=True, exist_ok=True)
    (Path(folder) / "constants.py").write_text("VECTOR_TENSOR_SIZE = 32\nDIMENSION = 1024\n")
    return str(folder)
