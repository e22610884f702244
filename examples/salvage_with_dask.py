"""Salvages a directory of CSV exports on a Dask cluster.

    python examples/salvage_with_dask.py INPUT_DIR OUT_DIR QUARANTINE_DIR [SCHEDULER]

Without SCHEDULER (an address such as tcp://scheduler:8786) it starts a
LocalCluster on this machine; with one, the same code runs on that cluster,
whose workers must see the three directories at the same paths (a shared
file system). Each file is one task: a file is never split, since a quoted
field may hold line breaks. Prints one JSON line per file and exits with 1
when any file failed.

Needs the dask extra: pip install "quillon[dask]".
"""

import json
import sys

from dask.distributed import Client, LocalCluster

import quillon


def salvage_directory(client: Client, source: str, out_dir: str, quarantine_dir: str) -> int:
    results = quillon.salvage_many(
        source, out_dir, quarantine_dir=quarantine_dir, executor=client.get_executor()
    )
    failed = 0
    for result in results:
        if isinstance(result, quillon.SalvageFailure):
            failed += 1
            print(json.dumps({"input_path": result.input_path, "error": str(result.error)}))
        else:
            print(json.dumps(result.to_dict()))
    return 1 if failed else 0


# Worker processes import this file: the cluster starts only when it is run.
if __name__ == "__main__":
    source, out_dir, quarantine_dir = sys.argv[1:4]
    if len(sys.argv) > 4:
        client = Client(sys.argv[4])
    else:
        cluster = LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None)
        client = Client(cluster)
    with client:
        sys.exit(salvage_directory(client, source, out_dir, quarantine_dir))
