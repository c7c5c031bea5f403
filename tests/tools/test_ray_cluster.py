"""The Ray road on a local cluster of two one-CPU nodes: the same answers as the local pool,
work done on both nodes, clear errors from a node that lacks the settings or a photograph,
no output of Ray's own, and nothing left running."""

import json
import logging
import sys
import textwrap

import numpy as np
import pytest
from ray_cluster_support import (
    LOOPBACK_ENV,
    LocalCluster,
    broken_settings,
    crop_of,
    photo_folder,
    processes_of,
    wait_until_gone,
)
from testsupport import TESTS_DIR, child_env
from tools_support import run_find_images

from search_index_tools.ray_pool import RayNodeError, bind_ray_pool, settings_runtime_env

NODES = 2
PHOTOS = 10


@pytest.fixture(scope="module")
def cluster():
    with pytest.MonkeyPatch.context() as patch:
        for name, value in LOOPBACK_ENV.items():
            patch.setenv(name, value)
        import ray._private.ray_constants as ray_constants

        patch.setattr(ray_constants, "ENABLE_RAY_CLUSTER", False)  # as the variable says, if read already
        local_cluster = LocalCluster(NODES)
        try:
            yield local_cluster
        finally:
            local_cluster.shutdown()


@pytest.fixture(scope="module")
def photo_set(tmp_path_factory):
    folder = tmp_path_factory.mktemp("photos")
    photo_folder(folder, PHOTOS)
    crop = crop_of(folder / "set1" / "photo05.jpg", tmp_path_factory.mktemp("crop") / "crop.png")
    return str(folder), crop


@pytest.fixture(scope="module")
def local_answers(photo_set, tmp_path_factory):
    """Each road's answer from the module's own pool, taken before this process connects to
    Ray: forking a process that runs Ray's client threads is not safe."""
    import search_index_lib as sil

    answers = {}
    with pytest.MonkeyPatch.context() as patch:
        for road in ROADS:
            cache = tmp_path_factory.mktemp("local_cache")
            patch.setattr(sil, "CACHE_METADATA", str(cache / "metadata.txt"))
            patch.setattr(sil, "CACHED_INDEXED", str(cache / "index.faiss"))
            answers[road.__name__] = road(sil, *photo_set)
    return answers


def index_build(sil, folder, crop):
    index, listing = sil.index_a_directory(folder)
    return index.reconstruct_n(0, index.ntotal), [record.image_path for record in listing]


def crop_matching(sil, folder, crop):
    listing = sil.get_images_absolute_path_recursive_a_directory(folder)
    return sil.live_search_similar_cropped(crop, listing)


def similar_images(sil, folder, crop):
    return sil.search_image(crop, folder)


def same(first, second):
    if isinstance(first, np.ndarray):
        return first.dtype == second.dtype and np.array_equal(first, second)
    if isinstance(first, (list, tuple)):
        return (
            type(first) is type(second)
            and len(first) == len(second)
            and all(same(a, b) for a, b in zip(first, second))
        )
    return first == second


ROADS = [index_build, crop_matching, similar_images]


@pytest.mark.parametrize("road", ROADS)
def test_cluster_gives_the_local_pools_answer_with_both_nodes_working(
    sil, local_answers, cluster, photo_set, road
):
    folder, crop = photo_set
    local = local_answers[road.__name__]
    local_pool = sil.Pool

    with bind_ray_pool(processes=NODES, address=cluster.address) as binding:
        assert sil.Pool is binding
        on_cluster = road(sil, folder, crop)

    assert same(on_cluster, local)
    assert all(len(part) > 0 for part in local)
    assert set(binding.items_per_node) == set(cluster.node_ids)
    assert sum(binding.items_per_node.values()) >= PHOTOS
    # Unbinding puts the module's pool back and closes the connection the binding opened.
    import ray

    assert sil.Pool is local_pool and not ray.is_initialized()


def test_host_that_connects_itself_ships_the_settings_in_its_own_runtime_env(
    sil, local_answers, cluster, photo_set
):
    import ray

    ray.init(
        address=cluster.address,
        runtime_env=settings_runtime_env(),
        log_to_driver=False,
        logging_level=logging.ERROR,
    )
    try:
        with pytest.raises(ValueError, match="already initialised"):
            bind_ray_pool(settings=TESTS_DIR / "constants.py")
        with bind_ray_pool(processes=NODES):
            on_cluster = crop_matching(sil, *photo_set)
        assert ray.is_initialized(), "the host's own connection stays open"
    finally:
        ray.shutdown()
    assert same(on_cluster, local_answers["crop_matching"])


@pytest.mark.parametrize(
    "settings, problem, road",
    [
        (False, "No module named 'constants'", index_build),
        ("broken", "cannot import name CACHE_METADATA", crop_matching),
    ],
)
def test_node_without_usable_settings_fails_the_call_naming_the_node(
    sil, cluster, photo_set, tmp_path, settings, problem, road
):
    folder, crop = photo_set
    if settings == "broken":
        settings = broken_settings(tmp_path / "node_settings")
    with bind_ray_pool(processes=NODES, address=cluster.address, settings=settings):
        with pytest.raises(RayNodeError) as failure:
            road(sil, folder, crop)
    message = str(failure.value)
    assert problem in message
    assert any(f"node id {node_id}" in message for node_id in cluster.node_ids)


@pytest.mark.parametrize("call", ["load_images", "live_search_similar_cropped"])
def test_photograph_a_node_cannot_see_fails_the_call_naming_node_and_path(
    sil, cluster, photo_set, tmp_path, call
):
    folder, crop = photo_set
    listing = sil.get_images_absolute_path_recursive_a_directory(folder)
    missing = str(tmp_path / "not_on_this_node.jpg")
    listing.insert(3, sil.ImageData(image_path=missing, last_modified=None))
    with bind_ray_pool(processes=NODES, address=cluster.address):
        with pytest.raises(FileNotFoundError) as failure:
            if call == "load_images":
                sil.load_images(listing)
            else:
                sil.live_search_similar_cropped(crop, listing)
    assert failure.value.filename == missing
    assert any(f"node id {node_id}" in str(failure.value) for node_id in cluster.node_ids)


CHILD = """
    import sys
    import search_index_lib as sil
    from search_index_tools.ray_pool import bind_ray_pool

    address, folder, query, cache = sys.argv[1:]
    sil.CACHE_METADATA, sil.CACHED_INDEXED = cache + "/local.txt", cache + "/local.faiss"
    local = sil.search_image(query, folder)
    print("--- cluster ---", file=sys.stderr, flush=True)
    sil.CACHE_METADATA, sil.CACHED_INDEXED = cache + "/ray.txt", cache + "/ray.faiss"
    with bind_ray_pool(processes=2, address=address):
        on_cluster = sil.search_image(query, folder)
    print(on_cluster == local, len(local))
"""


def test_nothing_but_the_modules_log_lines_reaches_the_terminal(cluster, photo_set, tmp_path):
    import subprocess

    folder, crop = photo_set
    env = {**child_env(), **LOOPBACK_ENV}
    done = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(CHILD), cluster.address, folder, crop, str(tmp_path)],
        env=env,
        capture_output=True,
        text=True,
        timeout=300,
        cwd=TESTS_DIR,
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout == "True 5\n"
    local_lines, cluster_lines = done.stderr.split("--- cluster ---\n")
    assert local_lines.startswith("INFO:root:")
    assert cluster_lines == local_lines


@pytest.mark.parametrize(
    "arguments, error, named",
    [
        ({"processes": 0}, ValueError, "processes"),
        ({"processes": True}, TypeError, "processes"),
        ({"processes": 2.0}, TypeError, "processes"),
        ({"address": 6379}, TypeError, "address"),
        ({"settings": "other.py"}, ValueError, "settings"),
        ({"settings": "empty_folder"}, ValueError, "settings"),
    ],
)
def test_bad_binding_arguments_are_refused_before_anything_is_bound(sil, tmp_path, arguments, error, named):
    (tmp_path / "other.py").write_text("DIMENSION = 1024\n")
    (tmp_path / "empty_folder").mkdir()
    if "settings" in arguments:
        arguments = {"settings": tmp_path / arguments["settings"]}
    pool = sil.Pool
    with pytest.raises(error, match=named):
        bind_ray_pool(**arguments)
    import ray

    assert sil.Pool is pool and not ray.is_initialized()


@pytest.mark.parametrize(
    "argv, address",
    [
        (["--ray", "crop", "c.png", "f"], "local"),
        (["crop", "c.png", "f", "--ray"], "local"),
        (["--ray", "auto", "crop", "c.png", "f"], "auto"),
        (["crop", "--ray", "10.1.2.3:6379", "c.png", "f"], "10.1.2.3:6379"),
        (["--ray=local", "index", "f"], "local"),
        (["index", "f"], None),
    ],
)
def test_find_images_ray_switch_takes_an_address_only_when_one_is_given(argv, address):
    from search_index_tools import cli

    assert cli.build_parser().parse_args(cli.ray_switch_alone(argv)).ray == address


@pytest.mark.parametrize("command", ["crop", "similar"])
def test_find_images_with_ray_prints_what_it_prints_without(cluster, photo_set, settings, command):
    folder, crop = photo_set
    env = {**child_env(tests_path=False), **LOOPBACK_ENV}
    plain = ["--plain"] if command == "crop" else []  # the module's ranking, which Ray can run
    local = run_find_images("--json", command, crop, folder, *plain, settings=settings, env=env)
    on_cluster = run_find_images(
        "--json", "--ray", cluster.address, command, crop, folder, *plain, settings=settings, env=env
    )
    assert on_cluster.returncode == local.returncode == 0, on_cluster.stderr
    assert on_cluster.stderr == local.stderr == ""
    assert json.loads(on_cluster.stdout)["results"] == json.loads(local.stdout)["results"] != []


def test_find_images_duplicates_with_ray_finds_the_local_groups(cluster, settings, tmp_path):
    from duplicates_support import EDITS, distractors, original, write_edit

    folder = tmp_path / "library"
    original().save(_made(folder) / "original.png")
    for name in EDITS:
        write_edit(folder / "edits", name, original())
    distractors(folder / "others")
    photo_folder(folder / "photos", 6)
    env = {**child_env(tests_path=False), **LOOPBACK_ENV}
    # Ray puts the driver's working folder on its workers' import path: run where no source
    # checkout would stand in for the installed package, as a user does. Every edit of one
    # picture makes enough candidate pairs for their comparisons to go to the Ray workers too.
    # A cache folder each, so that both runs read every picture (none from the other's store).
    local = run_find_images(
        "--json",
        "duplicates",
        folder,
        "--cache-dir",
        tmp_path / "local_cache",
        settings=settings,
        env=env,
        cwd=tmp_path,
    )
    on_cluster = run_find_images(
        "--json",
        "--ray",
        cluster.address,
        "duplicates",
        folder,
        "--cache-dir",
        tmp_path / "ray_cache",
        settings=settings,
        env=env,
        cwd=tmp_path,
    )
    assert on_cluster.returncode == local.returncode == 0, on_cluster.stderr
    assert on_cluster.stderr == local.stderr == ""
    groups = json.loads(on_cluster.stdout)["groups"]
    assert groups == json.loads(local.stdout)["groups"]
    assert [len(group["paths"]) for group in groups] == [len(EDITS) + 1]


def _made(folder):
    folder.mkdir(parents=True, exist_ok=True)
    return folder


def test_find_images_on_ray_reads_heic_and_avif_in_the_ray_workers(cluster, settings, tmp_path):
    from formats_support import settings_with_formats, write_roll

    pictures, others = write_roll(tmp_path / "roll", tmp_path / "outside")
    env = {**child_env(tests_path=False), **LOOPBACK_ENV}
    done = run_find_images(
        "--json",
        "--ray",
        cluster.address,
        "index",
        tmp_path / "roll",
        settings=settings_with_formats(settings),
        env=env,
    )
    assert done.returncode == 0, done.stderr
    document = json.loads(done.stdout)
    assert (document["indexed"], document["left_out"]) == (len(pictures) + len(others), [])


@pytest.mark.parametrize("switches", [[], ["--verify"]])
def test_find_images_refuses_ray_for_the_verified_search_it_cannot_send_there(
    find_images, photos, crop_of, switches
):
    done = find_images("--ray", "crop", *switches, crop_of(photos / "garden" / "photo_0.png"), photos)
    assert done.returncode == 2 and done.stdout == ""
    assert "--ray" in done.stderr and "--plain" in done.stderr


def test_a_worker_that_dies_ends_the_call_with_the_modules_error(cluster):
    import pool_items
    import ray.cloudpickle

    # The workers cannot import the tests' modules: the work function travels by value.
    ray.cloudpickle.register_pickle_by_value(pool_items)
    try:
        with bind_ray_pool(processes=NODES, address=cluster.address) as binding:
            with pytest.raises(RuntimeError) as failure:
                with binding() as pool:
                    pool.map(pool_items.dies_on_three, range(6))
    finally:
        ray.cloudpickle.unregister_pickle_by_value(pool_items)
    assert str(failure.value) == (
        "a worker process died (its Ray actor died) before the pool finished its "
        "6 work items; the pool's other workers were ended"
    )
    assert isinstance(failure.value.__cause__, ray.exceptions.RayActorError)


def test_a_build_stopped_part_way_keeps_what_the_cluster_finished(sil, cluster, photo_set, tmp_path):
    import os
    import sqlite3

    folder, _ = photo_set
    records = list(sil.get_images_absolute_path_recursive_a_directory(folder))
    half = len(records) // 2
    gone = sil.ImageData(str(tmp_path / "gone.jpg"), None)  # no node can see it
    with bind_ray_pool(processes=NODES, address=cluster.address) as binding:
        with pytest.raises(FileNotFoundError):
            sil.load_images(records[:half] + [gone] + records[half:])
        with sqlite3.connect(sil.CACHED_INDEXED + ".features.sqlite") as store:
            kept = {os.fsdecode(row[0]) for row in store.execute("SELECT path FROM vectors")}
        assert kept == {record.image_path for record in records[:half]}
        binding.items_per_node.clear()
        vectors = sil.load_images(records)
        assert sum(binding.items_per_node.values()) == len(records) - half  # only what was missing
    for record, vector in zip(records, vectors):
        assert same(vector, sil.load_image(record))


def test_cluster_shutdown_leaves_no_process_running(cluster):
    # Runs last in this module: it ends the shared cluster itself.
    started = processes_of(cluster.session_dir)
    assert started, "the cluster's processes should be found while it runs"
    cluster.shutdown()
    assert wait_until_gone(cluster.session_dir) == []


def test_ray_notices_during_a_command_go_to_stderr_never_among_its_results(
    sil, settings, capsys, monkeypatch
):
    """Ray's driver prints cluster notices ("A worker died or was killed ...") on standard
    output from a thread of its own, at any moment of the work; through find-images they would
    break --json or -0 output. Ray's own printer is called while the command's Ray binding is
    in place (the cluster itself is left out: the notice is what matters here)."""
    import argparse

    from ray._private.worker import print_to_stdstream

    from search_index_tools import cli, ray_pool
    from search_index_tools.progress import ProgressReporter

    unbound = []

    class Binding:
        def unbind(self):
            unbound.append(True)

    monkeypatch.setattr(ray_pool, "bind_ray_pool", lambda **_: Binding())
    args = argparse.Namespace(ray="local", command="index", plain=False, workers=None)
    unbind = cli.bind_pool(sil, args, ProgressReporter(enabled=False, stream=sys.stderr), settings)
    try:
        # What Ray's notice thread does with a notice from the cluster.
        print_to_stdstream(
            {
                "lines": ["A worker died or was killed while executing a task"],
                "pid": "raylet",
                "is_err": False,
            },
            ignore_prefix=False,
        )
    finally:
        unbind()
    print("the results")
    captured = capsys.readouterr()
    assert unbound == [True]
    assert captured.out == "the results\n"
    assert "A worker died or was killed" in captured.err
