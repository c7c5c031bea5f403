"""A worker killed while busy or while waiting for work ends each of the command's pools as it
ends the module's own: the module's error text, every worker ended, nothing left running, and
no hang (a worker killed while idle holds the task queue's lock, on which a plain pool's
shutdown waits for ever). Each case runs in a child interpreter with a time limit, so a
regression fails instead of hanging the suite."""

import json
import multiprocessing

import pool_items
import pytest
from testsupport import START_METHODS, TESTS_DIR, run_python

# The child: `run()` starts the pool's work on three items, one of them slow; a thread kills
# the chosen worker once the slow item has started and the others are done, and notes every
# pool worker alive then. The child reports the error and which of those workers still exist.
SCENARIO = """
import json, multiprocessing, os, signal, sys, threading, time
import pool_items

def kill_one(victim):
    while not os.path.exists(os.environ["BUSY_FILE"]) or os.path.getsize(os.environ["BUSY_FILE"]) == 0:
        time.sleep(0.05)
    time.sleep(1.0)
    busy = int(open(os.environ["BUSY_FILE"]).read())
    workers = [child.pid for child in multiprocessing.active_children()]
    target = busy if victim == "busy" else next(pid for pid in workers if pid != busy)
    noted["workers"] = workers
    os.kill(target, signal.SIGKILL)

noted = {{}}
{setup}

if __name__ == "__main__":
    threading.Thread(target=kill_one, args=({victim!r},), daemon=True).start()
    try:
        run(multiprocessing.get_context({method!r}))
        error = None
    except RuntimeError as raised:
        error = str(raised)
    print(json.dumps({{"error": error,
                      "left": [pid for pid in noted.get("workers", []) if os.path.exists(f"/proc/{{pid}}")],
                      "children": len(multiprocessing.active_children())}}))
"""

PROGRESS_POOL = """
from search_index_tools.progress import ProgressPool

def run(context):
    with ProgressPool(3, context=context) as pool:
        pool.map(pool_items.slow_when_marked, ["slow", "quick", "quick"])
"""

VERIFIED_SEARCH = """
from search_index_tools.verified import search as verified_search
import verified_support

def run(context):
    folder = os.path.join(os.environ["WORK"], "pictures")
    for seed, name in enumerate(["slow.png", "a.png", "b.png"]):
        verified_support.write(os.path.join(folder, name), verified_support.textured_photo(200, 150, seed))
    crop = verified_support.write(os.path.join(os.environ["WORK"], "crop.png"),
                                  verified_support.textured_photo(200, 150, 1)[20:120, 30:150])
    verified_search.picture_features = pool_items.slow_picture_reader
    verified_search._pool_size = lambda: 2
    verified_search.verified_cropped_search(crop, folder, mp_context=context, use_store=False)
"""

# The command's road: the module's own index build on the command's progress pool.
MODULE_ON_PROGRESS_POOL = """
os.environ["SEARCH_INDEX_LIB_FEATURE_STORE"] = "off"
import search_index_lib
from search_index_tools.progress import ProgressReporter, progress_pool

class FourProcessors:  # the module's os with four processors: its pool has three workers
    def __getattr__(self, name):
        return getattr(os, name)

    def cpu_count(self):
        return 4

def run(context):
    from testsupport import save_photo
    paths = [str(save_photo(os.path.join(os.environ["WORK"], name), seed=seed))
             for seed, name in enumerate(os.environ.get("PICTURES", "slow.png a.png b.png").split())]
    pool_items.LOAD_IMAGE = search_index_lib.load_image
    search_index_lib.load_image = pool_items.slow_image_loader
    search_index_lib.os = FourProcessors()
    search_index_lib.Pool = progress_pool(ProgressReporter(False, None), context.get_start_method())
    search_index_lib.load_images([search_index_lib.ImageData(path, None) for path in paths])
"""


@pytest.mark.slow
@pytest.mark.parametrize("method", START_METHODS)
@pytest.mark.parametrize("victim", ["busy", "idle"])
@pytest.mark.parametrize(
    "setup",
    [PROGRESS_POOL, VERIFIED_SEARCH, MODULE_ON_PROGRESS_POOL],
    ids=["progress_pool", "verified_search", "module_on_progress_pool"],
)
def test_a_killed_worker_ends_the_pool_with_the_modules_error(tmp_path, monkeypatch, method, victim, setup):
    monkeypatch.setenv("BUSY_FILE", str(tmp_path / "busy"))
    monkeypatch.setenv("WORK", str(tmp_path))
    code = SCENARIO.format(setup=setup, victim=victim, method=method)
    result = run_python(code, cwd=TESTS_DIR / "tools", timeout=60)
    assert result.returncode == 0, result.stderr
    report = json.loads(result.stdout.splitlines()[-1])
    assert report["error"] == (
        "a worker process died (killed by SIGKILL) before the pool finished "
        "its 3 work items; the pool's other workers were ended"
    )
    assert report["left"] == [] and report["children"] == 0


@pytest.mark.slow
@pytest.mark.parametrize("method", START_METHODS)
def test_a_death_names_the_file_when_the_call_had_one(tmp_path, monkeypatch, method):
    monkeypatch.setenv("BUSY_FILE", str(tmp_path / "busy"))
    monkeypatch.setenv("WORK", str(tmp_path))
    monkeypatch.setenv("PICTURES", "slow.png")
    code = SCENARIO.format(setup=MODULE_ON_PROGRESS_POOL, victim="busy", method=method)
    result = run_python(code, cwd=TESTS_DIR / "tools", timeout=60)
    assert result.returncode == 0, result.stderr
    report = json.loads(result.stdout.splitlines()[-1])
    assert report["error"] == (
        f"a worker process died (killed by SIGKILL) while working on "
        f"{str(tmp_path / 'slow.png')!r}; the pool's other workers were ended"
    )
    assert report["left"] == [] and report["children"] == 0


@pytest.mark.parametrize(
    "exit_code, said",
    [
        (-9, "killed by SIGKILL"),
        (-15, "killed by SIGTERM"),
        (3, "exit code 3"),
        (-200, "killed by signal 200"),
    ],
)
def test_how_a_worker_ended_is_said_as_the_module_says_it(exit_code, said):
    from search_index_tools.pool_watch import how_it_ended

    assert how_it_ended(exit_code) == said


@pytest.mark.parametrize(
    "items, name_of_item, lost",
    [
        (["a.png"], str.upper, "while working on 'A.PNG'"),
        (["a.png"], None, "before the pool finished its 1 work items"),
        (["a.png"], lambda item: 1 / 0, "before the pool finished its 1 work items"),  # a name that fails
        (["a.png", "b.png"], str.upper, "before the pool finished its 2 work items"),
    ],
)
def test_the_death_error_names_the_one_item_or_counts_them(items, name_of_item, lost):
    from search_index_tools.pool_watch import worker_death

    error = worker_death("its Ray actor died", items, name_of_item)
    assert type(error) is RuntimeError
    assert str(error) == (
        f"a worker process died (its Ray actor died) {lost}; the pool's other workers were ended"
    )


def test_a_slice_of_no_items_is_refused():
    import multiprocessing

    from search_index_tools.pool_watch import map_in_slices

    with multiprocessing.get_context("fork").Pool(1) as pool:
        with pytest.raises(ValueError, match="items_per_slice"):
            map_in_slices(pool, abs, [1, 2], 0)


def _map_in_slices(pool, items):
    from search_index_tools.pool_watch import map_in_slices

    return map_in_slices(pool, pool_items.fails_first_then_marks, items, 1, lambda first, results: None)


def _watched_imap(pool, items):
    from search_index_tools.pool_watch import watched_imap

    return list(watched_imap(pool, pool_items.fails_first_then_marks, items))


@pytest.mark.parametrize("mapping", [_map_in_slices, _watched_imap])
def test_a_workers_error_waits_for_the_other_items_so_the_pool_ends_idle(tmp_path, monkeypatch, mapping):
    # Ending a pool while a worker hands back a result can leave the result queue's lock with
    # the killed worker and the pool's terminate() waiting for it for ever; the error comes
    # once no worker holds work.
    marks = tmp_path / "marks"
    marks.mkdir()
    monkeypatch.setenv("MARK_DIR", str(marks))
    items = list(range(12))
    with multiprocessing.get_context("fork").Pool(2) as pool:
        with pytest.raises(ValueError, match="item 0 is bad"):
            mapping(pool, items)
        assert sorted(int(path.name) for path in marks.iterdir()) == items[1:]
    assert multiprocessing.active_children() == []


def test_after_a_death_the_pool_starts_no_worker_to_take_up_the_work_left():
    # A replacement would take up the queued work, and the pool's terminate() could kill it
    # while it hands a result back, holding the lock that terminate() then waits for.
    import time

    from search_index_tools.pool_watch import map_in_slices

    with multiprocessing.get_context("fork").Pool(2) as pool:
        with pytest.raises(RuntimeError, match="a worker process died"):
            map_in_slices(pool, pool_items.dies_on_three, list(range(200)), 1, lambda first, results: None)
        time.sleep(0.5)  # the pool's handler looks at its workers every 0.1 s
        assert [worker for worker in pool._pool if worker.exitcode is None] == []


# The child: workers hand back megabyte results without pause, so that most of the time one
# of them is writing into the result pipe; the watch ends them all (as after Ctrl-C) and the
# pool is then terminated, in several rounds.
ENDED_WHILE_HANDING_BACK = """
import multiprocessing, time
import pool_items
from search_index_tools.pool_watch import PoolWatch

if __name__ == "__main__":
    for round in range(8):
        pool = multiprocessing.get_context({method!r}).Pool(2)
        watch = PoolWatch(pool)
        results = pool.imap(pool_items.megabyte_of, [number % 256 for number in range(400)])
        next(results)
        time.sleep(0.05 * round)
        watch.end_all()
        pool.terminate()
    print("ended")
"""


@pytest.mark.parametrize("method", START_METHODS)
def test_workers_ended_while_handing_back_results_leave_the_pool_able_to_end(method):
    # A worker killed halfway through writing a result leaves half a message in the pipe:
    # the pool's result thread waits for the rest for ever, and terminate() waits for it.
    finished = run_python(ENDED_WHILE_HANDING_BACK.format(method=method), cwd=TESTS_DIR / "tools", timeout=60)
    assert (finished.returncode, finished.stdout.strip()) == (0, "ended"), finished.stderr


# The child: item 3's worker is killed halfway through writing its megabyte result, holding the
# result pipe's lock; the call must end with the death, and the pool's terminate() after it.
DIES_HALFWAY_THROUGH_A_RESULT = """
import multiprocessing
import pool_items
from search_index_tools.pool_watch import map_in_slices

if __name__ == "__main__":
    with multiprocessing.get_context({method!r}).Pool(2) as pool:
        try:
            items = list(range(12))
            map_in_slices(pool, pool_items.megabyte_dying_halfway_on_three, items, 1, lambda *_: None)
        except RuntimeError as error:
            print(error)
    print("ended")
"""


@pytest.mark.parametrize("method", START_METHODS)
def test_a_worker_killed_halfway_through_a_result_leaves_the_pool_able_to_end(method):
    # The rest of that result never comes: the pool's result thread waited for it for ever,
    # and took terminate()'s end mark as part of it.
    finished = run_python(
        DIES_HALFWAY_THROUGH_A_RESULT.format(method=method), cwd=TESTS_DIR / "tools", timeout=60
    )
    lines = finished.stdout.splitlines()
    assert finished.returncode == 0, finished.stderr
    assert lines[-1] == "ended" and lines[0].startswith("a worker process died (killed by SIGKILL)"), lines
