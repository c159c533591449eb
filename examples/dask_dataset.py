#!/usr/bin/python3
"""A batch too large for one machine, spread over a Dask cluster.

Each task makes a contiguous block of replicates with
elutrix.simulate_batch(..., first=F) and writes it as a dataset shard,
OUT/NAME.FFFFFFF.nc; xarray.open_mfdataset then opens the shards as one
dataset. A replicate's seed follows from its number, so the shards hold the
bits of one batch of all the replicates made on one machine (--check
compares them).

    examples/dask_dataset.py SCENARIO.json --replicates 100000 --out shards
    examples/dask_dataset.py SCENARIO.json --replicates 1000000 --out /shared/shards \\
        --scheduler tcp://scheduler:8786

Without --scheduler a LocalCluster of --workers processes runs the tasks.
With one, OUT must be a folder that every worker can write and this
machine can read (a shared file system), and every worker needs the
elutrix package.
"""

import argparse
import json
import os


def make_shard(scenario, first, count, path):
    """Replicates first .. first + count - 1 into the shard at path (a task)."""
    import elutrix

    # One worker, one core: the cluster spreads the work.
    elutrix.simulate_batch(scenario, count, threads=1, first=first).write(path)
    return path


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("scenario", help="a scenario file (JSON) of one scenario")
    parser.add_argument("--replicates", type=int, required=True)
    parser.add_argument("--out", required=True, help="the folder of the shards")
    parser.add_argument("--shard", type=int, default=10000, help="replicates per shard (default 10000)")
    parser.add_argument("--scheduler", help="the address of a running Dask scheduler")
    parser.add_argument("--workers", type=int, default=2, help="processes of the local cluster (default 2)")
    parser.add_argument("--check", action="store_true", help="compare the shards with a batch made here")
    args = parser.parse_args()

    import numpy as np
    import xarray as xr
    from dask.distributed import Client, LocalCluster

    with open(args.scenario) as f:
        scenario = json.load(f)
    name = scenario.get("name") or os.path.splitext(os.path.basename(args.scenario))[0]
    scenario["name"] = name
    os.makedirs(args.out, exist_ok=True)
    blocks = [(first, min(args.shard, args.replicates - first + 1))
              for first in range(1, args.replicates + 1, args.shard)]
    paths = [os.path.abspath(os.path.join(args.out, f"{name}.{first:07d}.nc")) for first, _ in blocks]

    if args.scheduler:
        cluster, client = None, Client(args.scheduler)
    else:
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, dashboard_address=None)
        client = Client(cluster)
    try:
        futures = [client.submit(make_shard, scenario, first, count, path, pure=False)
                   for (first, count), path in zip(blocks, paths)]
        client.gather(futures)
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
    print(f"{len(paths)} shards of {args.replicates} replicates in {args.out}")

    # The shards as one dataset: concatenated along replicate, the grid and
    # the attributes taken from the first.
    with xr.open_mfdataset(paths, combine="by_coords", data_vars="minimal") as data:
        print(f"{data.sizes['replicate']} replicates x {data.sizes['point']} points, "
              f"{data.sizes['peak']} peaks each")
        if args.check:
            import elutrix

            whole = elutrix.simulate_batch(scenario, args.replicates)
            peaks = whole.peaks.reshape(len(whole), -1)
            same = all(np.array_equal(data[n].values.view(np.uint64), w.view(np.uint64))
                       for n, w in (("response", whole.response), ("time_min", whole.time_min),
                                    ("seed", whole.seeds)))
            # The peak models, the same in every replicate, are over the peaks alone.
            same = same and all(np.array_equal(np.broadcast_to(data[n].values, peaks[n].shape), peaks[n],
                                               equal_nan=peaks[n].dtype.kind == "f")
                                for n in peaks.dtype.names if n != "replicate")
            print("the shards are " + ("equal to" if same else "NOT equal to") + " one machine's batch bit for bit")
            raise SystemExit(0 if same else 1)


if __name__ == "__main__":
    main()
