"""How the cost of one call varies from process to process.

The native module's lookup cache places its entries by the addresses of the
dicts and names it sees, and addresses differ from process to process: a
layout that made one function's lookups evict each other would show here as
a few processes much slower than the rest. For each of N fresh processes
per peer (the peers interleaved), the best of 5 rounds of 20,000 calls of
the function, in ns per call; then each peer's spread.

    PYTHONPATH=$PWD:$PWD/build/pydeps python bench/process_spread.py
        [--processes N] [--call EXPR] [--one-set]

Peers as in peer_benchmark.py: native (make build PYTHON=... beforehand),
python (bench/vandrel_twin.py) and, with --one-set, the native module built
with VESK_CACHE_ONE_SET. Times, so the machine should be otherwise idle;
the counts that hold from run to run are peer_benchmark.py's.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile

import peer_benchmark as bench

CHILD = """
import sys, timeit
import vandrel
call = eval("lambda: vandrel." + sys.argv[1])
call()
print(min(timeit.repeat(call, number=20000, repeat=5)) / 20000 * 1e9)
"""


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--processes", type=int, default=60)
    parser.add_argument("--call", default="_get_experiment_id()")
    parser.add_argument("--one-set", action="store_true")
    args = parser.parse_args()

    folder = bench.fresh_folder(bench.build_folder())
    folders = {"native": bench.prepare_native(folder)[0], "python": bench.prepare_python(folder)}
    if args.one_set:
        folders["one-set"] = bench.prepare_one_set(folder)
    home = tempfile.mkdtemp(prefix="vesk-spread-")
    times = {peer: [] for peer in folders}
    try:
        environ = {"PATH": os.environ.get("PATH", ""), "HOME": home, "LC_ALL": "C.UTF-8",
                   "MLFLOW_EXPERIMENT_ID": "1", "MLFLOW_RUN_ID": "bench-run"}
        for _ in range(args.processes):
            for peer, peer_folder in folders.items():
                environ["PYTHONPATH"] = os.pathsep.join([peer_folder, bench.ROOT, bench.PYDEPS])
                done = subprocess.run([sys.executable, "-c", CHILD, args.call], cwd=home,
                                      env=environ, stdout=subprocess.PIPE,
                                      stderr=subprocess.PIPE, universal_newlines=True)
                if done.returncode != 0:
                    sys.exit("%s child failed:\n%s" % (peer, done.stderr[-2000:]))
                times[peer].append(float(done.stdout.split()[-1]))
    finally:
        shutil.rmtree(home, ignore_errors=True)

    print("%s, %d processes per peer, ns per call (best of 5 x 20,000 in each process)"
          % (args.call, args.processes))
    print("%-8s %7s %7s %7s %7s %9s %s" % ("peer", "min", "median", "p95", "max", "max/med",
                                          "processes over 1.5 x median"))
    for peer, found in times.items():
        found.sort()
        median = statistics.median(found)
        p95 = found[min(len(found) - 1, int(round(0.95 * (len(found) - 1))))]
        print("%-8s %7.0f %7.0f %7.0f %7.0f %9.2f %d" % (
            peer, found[0], median, p95, found[-1], found[-1] / median,
            sum(1 for value in found if value > 1.5 * median)))


if __name__ == "__main__":
    main()
