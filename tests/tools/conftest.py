"""Fixtures for the companion tools: the installed find-images command run as a user runs
it, a settings folder of its own per test, photo folders, and a real browser."""

import json
import shutil
from pathlib import Path

import pytest
from testsupport import TESTS_DIR, child_env, save_photo
from tools_support import run_find_images


@pytest.fixture
def settings(tmp_path):
    """A settings folder like the suite's, with the caches in this test's folder."""
    folder = tmp_path / "settings"
    folder.mkdir()
    text = (TESTS_DIR / "constants.py").read_text()
    text = text.replace('"test_cache_metadata.txt"', repr(str(tmp_path / "cli_cache" / "metadata.txt")))
    text = text.replace('"test_cached_index.faiss"', repr(str(tmp_path / "cli_cache" / "index.faiss")))
    (tmp_path / "cli_cache").mkdir()
    (folder / "constants.py").write_text(text)
    return folder


@pytest.fixture(scope="session")
def written_roll(tmp_path_factory):
    """The format tests' camera roll, encoded once per run; tests take copies (copy_roll)."""
    from formats_support import write_roll

    base = tmp_path_factory.mktemp("camera_roll")
    folders = (base / "roll", base / "outside")
    return folders, write_roll(*folders)


@pytest.fixture
def photos(tmp_path):
    """Six photo-like pictures in two folders, one of them a JPEG and the others PNGs."""
    folder = tmp_path / "photos"
    for seed in range(6):
        sub = "holiday" if seed % 2 else "garden"
        save_photo(folder / sub / f"photo_{seed}.{'jpg' if seed == 2 else 'png'}", 240, 180, seed=seed)
    return folder


@pytest.fixture
def crop_of(tmp_path):
    def cut(picture, box=(40, 30, 200, 150)):
        from PIL import Image

        crop = tmp_path / f"crop_of_{Path(picture).stem}.png"
        with Image.open(picture) as source:
            source.crop(box).save(crop)
        return crop

    return cut


@pytest.fixture
def find_images(settings):
    def run(*args, **options):
        options.setdefault("settings", settings)
        return run_find_images(*args, **options)

    return run


@pytest.fixture
def find_images_json(find_images):
    def run(*args):
        result = find_images(*args, "--json")
        assert result.returncode in (0, 1), result.stderr
        return json.loads(result.stdout)

    return run


@pytest.fixture(scope="session")
def browser():
    """Headless Chromium through selenium. Fails (never skips) when it cannot be had."""
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    binary = shutil.which("chromium")
    driver_binary = shutil.which("chromedriver")
    assert binary and driver_binary, "chromium and chromedriver must be installed (make test installs them)"
    options = webdriver.ChromeOptions()
    options.binary_location = binary
    for flag in (
        "--headless=new",
        "--no-sandbox",
        "--disable-gpu",
        "--disable-dev-shm-usage",
        "--allow-file-access-from-files",
        "--window-size=1200,900",
    ):
        options.add_argument(flag)
    options.set_capability("goog:loggingPrefs", {"performance": "ALL"})
    driver = webdriver.Chrome(options=options, service=Service(driver_binary))
    try:
        yield driver
    finally:
        driver.quit()


def _without_file_permission_override():
    """Runs in the child before it executes the command: root keeps its identity but loses
    the capabilities that let it read, write and list any file (CAP_DAC_OVERRIDE and
    CAP_DAC_READ_SEARCH), so permissions apply to it as to any user."""
    import ctypes

    libc = ctypes.CDLL(None, use_errno=True)
    for capability in (1, 2):  # CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH
        if libc.prctl(24, capability, 0, 0, 0) != 0:  # PR_CAPBSET_DROP
            raise OSError(ctypes.get_errno(), "cannot drop a capability")


@pytest.fixture
def unprivileged(tmp_path):
    """A folder and a find-images runner for files that must be unreadable: root runs the
    command without its power to read any file; other users run it as they are. Returns
    (folder, run)."""
    import os

    folder = tmp_path / "unprivileged"
    folder.mkdir()

    def run(*args, settings_folder=None, env=None, **options):
        env = env or child_env(tests_path=False)
        env["HOME"] = str(folder / "home")
        env.pop("XDG_CACHE_HOME", None)
        if os.geteuid() == 0:
            options["preexec_fn"] = _without_file_permission_override
        return run_find_images(*args, settings=settings_folder, env=env, **options)

    yield folder, run
    for path in folder.rglob("*"):  # let the clean-up in again
        if not path.is_symlink():
            path.chmod(0o777 if path.is_dir() else 0o666)
