"""A forest learned from rows that stay on the Dask workers, against
single-machine fits of the same rows.

The rows are made on the workers (dask.array.random, float32, 20
features, a noisy rule over four of them; the client never holds them),
persisted, then learned with sylvor.distributed.fit_forest on local
clusters of 1, 2, 4 ... worker processes sharing the machine's cores (one
thread each when there are more workers than cores). For each cluster:
the fit's wall time, each worker's and the client's peak resident memory,
the bytes the workers sent each other (Dask's transfer counter), all the
bytes sent between the processes (the machine's loopback counter: workers,
scheduler and client), the size of the fitted forest's node arrays (what
came back), and the accuracy on 200,000 held-out rows. With --oob the fit
also works out the out-of-bag score where the rows are. With --local, the same rows gathered here and learned with 2 threads
twice: with max_samples equal to one worker's share of a 2-worker cluster,
and with bootstraps of every row.

usage: /usr/bin/python3 bench/dask_partitioned.py ROWS [--workers 1,2,4] [--trees 20] [--min-samples-leaf 1]
                                                    [--oob] [--local]
"""
import argparse
import os
import resource
import time

import numpy as np

FEATURES = 20


def rule(X, noise):
    """The class of each row: a noisy threshold of four features."""
    return ((X[:, 0] + X[:, 1] + 0.5 * X[:, 2] * X[:, 3] + 0.3 * noise) > 1.25).astype(np.int8)


def made_on_workers(rows, partitions, seed):
    import dask.array as da
    state = da.random.RandomState(seed)
    chunk = -(-rows // partitions)
    X = state.random_sample((rows, FEATURES), chunks=(chunk, FEATURES)).astype(np.float32)
    noise = state.standard_normal(rows, chunks=chunk)
    return X, rule(X, noise)


def held_out(rows=200_000, seed=99):
    generator = np.random.default_rng(seed)
    X = generator.random((rows, FEATURES), dtype=np.float32)
    return X, rule(X, generator.standard_normal(rows))


def peak_rss_bytes():
    """The process's peak resident memory since it started (VmHWM: unlike
    ru_maxrss, not inherited from the process that spawned it)."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def sent_bytes(dask_worker):
    return dask_worker.transfer_outgoing_bytes_total


def loopback_bytes():
    import psutil
    return psutil.net_io_counters(pernic=True)["lo"].bytes_sent


def one_cluster(workers, rows, trees, leaf, oob, test):
    from dask.distributed import Client, LocalCluster, wait
    from sylvor import ForestClassifier
    from sylvor.distributed import fit_forest
    # The machine's cores shared out (one each when there are more workers).
    threads = max(1, (os.cpu_count() or 1) // workers)
    with LocalCluster(n_workers=workers, threads_per_worker=threads, processes=True, memory_limit=0,
                      host="127.0.0.1", dashboard_address=None) as cluster, Client(cluster) as client:
        X, y = made_on_workers(rows, 16, seed=5)
        X, y = client.persist([X, y])
        wait([X, y])
        before, loopback = sum(client.run(sent_bytes).values()), loopback_bytes()
        start = time.perf_counter()
        model = fit_forest(client, ForestClassifier(n_estimators=trees, max_features="sqrt", random_state=1,
                                                    min_samples_leaf=leaf, oob_score=oob), X, y)
        seconds = time.perf_counter() - start
        moved = sum(client.run(sent_bytes).values()) - before
        loopback = loopback_bytes() - loopback
        peaks = client.run(peak_rss_bytes)
        plan = model.distributed_plan_
    accuracy = float((model.predict(test[0]) == test[1]).mean())
    return {"workers": workers, "seconds": seconds, "accuracy": accuracy, "moved": moved, "loopback": loopback,
            "oob": f"{model.oob_score_:.4f}" if oob else "-",
            "forest_bytes": sum(tree.arrays.nbytes for tree in model.estimators_),
            "worker_peaks": sorted(peaks.values()),
            "rows": [share["rows"] for share in plan], "trees": [share["n_trees"] for share in plan]}


def local_fits(rows, trees, leaf, test):
    """The same rows, gathered here, learned with 2 threads."""
    from sylvor import ForestClassifier
    import dask
    X, y = made_on_workers(rows, 16, seed=5)
    with dask.config.set(scheduler="threads"):
        X, y = dask.compute(X, y)
    results = {}
    for name, max_samples in (("share of 2 workers", rows // 2), ("every row", None)):
        start = time.perf_counter()
        model = ForestClassifier(n_estimators=trees, max_features="sqrt", random_state=1, n_jobs=2,
                                 max_samples=max_samples, min_samples_leaf=leaf).fit(X, y)
        results[name] = (time.perf_counter() - start, float((model.predict(test[0]) == test[1]).mean()))
    return results


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("rows", type=int)
    parser.add_argument("--workers", default="1,2,4")
    parser.add_argument("--trees", type=int, default=20)
    parser.add_argument("--min-samples-leaf", type=int, default=1)
    parser.add_argument("--oob", action="store_true")
    parser.add_argument("--local", action="store_true")
    arguments = parser.parse_args()
    test = held_out()
    data_bytes = arguments.rows * FEATURES * 4
    print(f"{arguments.rows} rows x {FEATURES} float32 features ({data_bytes / 1e9:.2f} GB), "
          f"{arguments.trees} trees, sqrt features, min_samples_leaf={arguments.min_samples_leaf}")
    print("| workers | fit s | accuracy | out-of-bag score | rows per worker | worker peak RSS GB "
          "| moved between workers MB | moved between all processes MB | forest MB |")
    print("|---|---|---|---|---|---|---|---|---|")
    for workers in [int(w) for w in arguments.workers.split(",")]:
        r = one_cluster(workers, arguments.rows, arguments.trees, arguments.min_samples_leaf, arguments.oob, test)
        print(f"| {workers} | {r['seconds']:.1f} | {r['accuracy']:.4f} | {r['oob']} | "
              f"{', '.join(map(str, r['rows']))} | {', '.join(f'{p / 1e9:.2f}' for p in r['worker_peaks'])} | "
              f"{r['moved'] / 1e6:.1f} | {r['loopback'] / 1e6:.1f} | {r['forest_bytes'] / 1e6:.1f} |", flush=True)
    print(f"client peak RSS: {peak_rss_bytes() / 1e9:.2f} GB (the held-out rows: {test[0].nbytes / 1e9:.2f} GB)")
    if arguments.local:
        for name, (seconds, accuracy) in local_fits(arguments.rows, arguments.trees, arguments.min_samples_leaf,
                                                    test).items():
            print(f"single machine, 2 threads, bootstrap of {name}: {seconds:.1f} s, accuracy {accuracy:.4f}")


if __name__ == "__main__":
    main()
