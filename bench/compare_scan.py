#!/usr/bin/python3
"""Picture-list build of a 100,000-file tree beside find | sort, in one run.

Runs the ScanList benchmarks of revimora-bench (bench/picturelist_bench.cpp):
  ScanList/ours       ScanFolderLines(root, recursive) + SortPictureList
  ScanList/find_sort  find ROOT -name '*.jpg' -printf '%T@ %p\\n' | LC_ALL=C sort,
                      its output read into a vector of lines
on the same tree, which the benchmark program makes in $TMPDIR (else /tmp)
before the first case and removes at exit; the files are in the page cache for
both sides after the first iteration. The repetitions run in random interleaved
order, so both sides see the same load. Reported per side: wall-clock time of an
iteration (lowest and median over the repetitions) and CPU time (ours: the
process's; find | sort: user + system of the two child processes).

Usage: bench/compare_scan.py [build/bench/revimora-bench] [repetitions]
"""
import json
import statistics
import subprocess
import sys


def main():
    bench = sys.argv[1] if len(sys.argv) > 1 else "build/bench/revimora-bench"
    reps = int(sys.argv[2]) if len(sys.argv) > 2 else 9
    out = subprocess.run([bench, "--benchmark_filter=^ScanList/", f"--benchmark_repetitions={reps}",
                          "--benchmark_enable_random_interleaving=true", "--benchmark_format=json"],
                         check=True, capture_output=True, text=True).stdout
    runs = [b for b in json.loads(out)["benchmarks"] if b.get("run_type") == "iteration"]
    sides = {}
    for b in runs:
        name = b["run_name"].split("/")[1]
        cpu = b["child_cpu_ms"] if "child_cpu_ms" in b else b["cpu_time"]
        sides.setdefault(name, []).append((b["real_time"], cpu))
    print("| side | wall ms, lowest | wall ms, median | CPU ms, lowest | CPU ms, median |")
    print("|---|---:|---:|---:|---:|")
    for name, values in sides.items():
        wall = [v[0] for v in values]
        cpu = [v[1] for v in values]
        print(f"| {name} | {min(wall):.0f} | {statistics.median(wall):.0f} | {min(cpu):.0f} | "
              f"{statistics.median(cpu):.0f} |")
    ours, ref = sides["ours"], sides["find_sort"]
    for label, pick in (("lowest", min), ("median", statistics.median)):
        print(f"ours / find|sort, wall, {label}: {pick(v[0] for v in ours) / pick(v[0] for v in ref):.2f}; "
              f"CPU, {label}: {pick(v[1] for v in ours) / pick(v[1] for v in ref):.2f}")


if __name__ == "__main__":
    main()
