#!/usr/bin/python3
"""Conversions, fills and allocation of a 24 MP picture beside memcpy and memset.

Runs the imaging benchmarks of revimora-bench (bench/imaging_bench.cpp) with
repetitions in random order and prints Markdown tables of CPU milliseconds of
one thread. For every case: the lowest over the repetitions of the mean time
of an iteration, and best_ms, the fastest single iteration. For
ConvertBesideMemcpy, where each iteration times the conversion and a memcpy of
its source bytes in turn: the lowest over the repetitions of the median of each
side, and their ratio. The memcpy and memset buffers are allocated as picture
blocks are (2 MiB aligned, huge pages).

Usage: bench/compare_conversions.py BUILD_DIR/bench/revimora-bench [repetitions]
"""
import json
import math
import subprocess
import sys

FILTER = "Convert|Memcpy/|Memset/|FillWith|AllocateAndTouch"
MB = 1e6


def run(bench, repetitions):
    out = subprocess.run([bench, "--benchmark_filter=" + FILTER, "--benchmark_repetitions=%d" % repetitions,
                          "--benchmark_enable_random_interleaving=true", "--benchmark_format=json"],
                         check=True, capture_output=True, text=True).stdout
    runs = {}
    for b in json.loads(out)["benchmarks"]:
        if b.get("run_type") == "iteration":
            runs.setdefault(b["run_name"].replace("/real_time", ""), []).append(b)
    return runs


def lowest(runs, name, key):
    values = [r[key] for r in runs.get(name, []) if key in r and not math.isnan(r[key])]
    return min(values) if values else float("nan")


def ms(runs, name):
    return lowest(runs, name, "cpu_time"), lowest(runs, name, "best_ms")


def main():
    bench = sys.argv[1] if len(sys.argv) > 1 else "build/bench/revimora-bench"
    repetitions = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    runs = run(bench, repetitions)
    with open("/proc/loadavg") as f:
        load = f.read().split()[:3]

    print("Load average after the run: %s\n" % " ".join(load))
    print("| conversion | source MB | conversion ms | memcpy of the source ms | rate vs memcpy "
          "| fastest: conversion / memcpy ms | rate |")
    print("|---|---:|---:|---:|---:|---:|---:|")
    for case, source in (("RGB24_to_Gray8", 72), ("Palette8_to_RGB24", 24), ("RGB48_to_RGB24", 144),
                         ("CMYK_to_RGB24", 96)):
        name = "ConvertBesideMemcpy/%s/iterations:40" % case
        c, m = lowest(runs, name, "convert_ms"), lowest(runs, name, "memcpy_ms")
        cb, mb = lowest(runs, name, "convert_best_ms"), lowest(runs, name, "memcpy_best_ms")
        print("| %s | %d | %.2f | %.2f | %.2f | %.2f / %.2f | %.2f |" % (case.replace("_to_", " → "), source, c, m,
                                                                          m / c, cb, mb, mb / cb))

    print("\n| case | MB | mean ms | fastest ms |")
    print("|---|---:|---:|---:|")
    rows = [("Convert/RGB24_to_Gray8", 72), ("Convert/Palette8_to_RGB24", 24), ("Convert/RGB48_to_RGB24", 144),
            ("Convert/CMYK_to_RGB24", 96), ("Convert/RGB24_to_Palette8/iterations:3", 72),
            ("FillWith/Gray8", 24), ("FillWith/RGB24_colour", 72), ("FillWith/RGB24_gray", 72),
            ("FillWith/CMYK_colour", 96), ("FillWith/RGB48_colour", 144), ("AllocateAndTouch", 72)]
    rows += [("Memcpy/%d" % (n * MB), n) for n in (24, 72, 96, 144)]
    rows += [("Memset/%d" % (n * MB), n) for n in (24, 72, 96, 144)]
    for name, size in rows:
        mean, best = ms(runs, name)
        print("| %s | %d | %.2f | %.2f |" % (name, size, mean, best))


if __name__ == "__main__":
    main()
