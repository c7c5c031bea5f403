"""Runs a local Ray cluster of N one-CPU nodes in a process of its own (started by
ray_cluster_support): prints one JSON line describing it, then keeps it up until its standard
input closes, and shuts it down. A process of its own keeps the test process from starting
Ray's daemons itself, which it would do while other threads hold locks."""

import json
import os
import shutil
import sys
import tempfile


def main(nodes):
    # A short folder: Ray keeps its sockets there, and socket paths are limited in length.
    temp_dir = tempfile.mkdtemp(prefix="rsil", dir="/tmp")
    # Some Ray releases write the cluster's address to <RAY_TMPDIR>/ray/ray_current_cluster
    # without creating that folder, whatever temp_dir says; it is made here, inside the
    # cluster's own folder, so that nothing outside it is touched.
    os.environ["RAY_TMPDIR"] = temp_dir
    os.makedirs(os.path.join(temp_dir, "ray"), exist_ok=True)
    from ray.cluster_utils import Cluster

    cluster = Cluster(
        initialize_head=True, head_node_args={"num_cpus": 1, "include_dashboard": False, "temp_dir": temp_dir}
    )
    try:
        for _ in range(nodes - 1):
            cluster.add_node(num_cpus=1)
        cluster.wait_for_nodes()
        print(
            json.dumps(
                {
                    "address": cluster.address,
                    "node_ids": [node.node_id for node in cluster.list_all_nodes()],
                    "session_dir": cluster.head_node.get_session_dir_path(),
                }
            ),
            flush=True,
        )
        sys.stdin.read()
    finally:
        cluster.shutdown()
        shutil.rmtree(temp_dir, ignore_errors=True)


if __name__ == "__main__":
    main(int(sys.argv[1]))
