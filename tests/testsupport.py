"""Helpers shared by the test modules: child interpreters and generated pictures."""

import multiprocessing
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pytest
from PIL import Image

TESTS_DIR = Path(__file__).resolve().parent
START_METHODS = [m for m in ("fork", "spawn", "forkserver") if m in multiprocessing.get_all_start_methods()]


def quick_first(*cases):
    """Cases for a parametrized test of which only the first runs in the quick loop (`make
    quick`); the others are marked slow and run in the full suite. For cases that take one
    road of the code with other values: the quick loop keeps one of the kind. A case of
    several arguments is a tuple."""
    return [
        pytest.param(
            *(case if isinstance(case, tuple) else (case,)), marks=() if number == 0 else pytest.mark.slow
        )
        for number, case in enumerate(cases)
    ]


def child_env(tests_path=True):
    env = dict(os.environ)
    if tests_path:
        env["PYTHONPATH"] = os.pathsep.join([str(TESTS_DIR), env.get("PYTHONPATH", "")])
    else:
        env.pop("PYTHONPATH", None)
    return env


def run_python(code, cwd=None, tests_path=True, timeout=120):
    """Runs `code` in a fresh interpreter; returns the completed process (text output).
    With tests_path, the suite's settings module is importable there."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        env=child_env(tests_path),
        cwd=cwd,
        capture_output=True,
        text=True,
        timeout=timeout,
    )


def photo_array(width, height, seed, channels=3):
    """A photo-like picture: smooth colour fields with sharp-edged shapes and fine texture,
    so that it has corners for keypoint detectors and differs clearly from other seeds."""
    rng = np.random.default_rng(seed)
    coarse = rng.integers(0, 256, size=(max(2, height // 40), max(2, width // 40), channels), dtype=np.uint8)
    base = np.asarray(
        Image.fromarray(coarse.squeeze()).resize((width, height), Image.BILINEAR), dtype=np.int16
    )
    if base.ndim == 2:
        base = base[..., None]
    for _ in range(12):
        x0, y0 = rng.integers(0, width), rng.integers(0, height)
        w, h = rng.integers(width // 20 + 1, width // 4 + 2), rng.integers(height // 20 + 1, height // 4 + 2)
        base[y0 : y0 + h, x0 : x0 + w] = rng.integers(0, 256, size=channels)
    base += rng.integers(-20, 21, size=base.shape, dtype=np.int16)
    picture = np.clip(base, 0, 255).astype(np.uint8)
    return picture[..., 0] if channels == 1 else picture


def save_photo(path, width=320, height=240, seed=0, mode="RGB", **save_options):
    """Writes a photo-like picture to `path` (format from the suffix) and returns the path."""
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    picture = Image.fromarray(photo_array(width, height, seed, channels=1 if mode == "L" else 3))
    picture.convert(mode).save(path, **save_options)
    return path
