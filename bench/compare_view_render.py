#!/usr/bin/python3
"""One frame of the picture view, direct and through TZoomRenderCache, beside a memcpy.

Runs the ViewRender benchmarks of revimora-bench (bench/view_render_bench.cpp):
a 1920 x 1080 back buffer rendered from a synthetic 6000 x 4000 pxRGB24
picture at zooms 10, 37, 100, 350 and 1000 %, with rfNone and rfFastLinear,
with the rectangles a view centred on the picture uses, and a memcpy of the
buffer's bytes into another back buffer, all in one run. The benchmarks are
interleaved at random (--benchmark_enable_random_interleaving) and repeated;
the table shows the minimum CPU time and the minimum wall time of each over
the repetitions, so load from other processes on the machine counts as little
as possible.

Usage: bench/compare_view_render.py [--bench build/bench/revimora-bench] [--runs 9] [--write docs/BENCHMARKS.md]
"""
import argparse
import json
import os
import platform
import subprocess

HEADING = "## View rendering"
UNIT = {"ms": 1.0, "us": 1e-3, "ns": 1e-6, "s": 1e3}


def run(bench, runs):
    out = subprocess.run([bench, "--benchmark_filter=^ViewRender/", "--benchmark_format=json",
                          f"--benchmark_repetitions={runs}", "--benchmark_min_time=0.2",
                          "--benchmark_enable_random_interleaving=true"],
                         check=True, capture_output=True, text=True).stdout
    cpu, real, counters = {}, {}, {}
    for b in json.loads(out)["benchmarks"]:
        if b.get("run_type") != "iteration":
            continue
        name, scale = b["run_name"], UNIT[b["time_unit"]]
        cpu[name] = min(cpu.get(name, 1e99), b["cpu_time"] * scale)
        real[name] = min(real.get(name, 1e99), b["real_time"] * scale)
        counters[name] = (int(b.get("levels", 0)), b.get("level_mb", 0.0))
    return cpu, real, counters


def section(cpu, real, counters, runs):
    lines = [HEADING, "",
             "One frame of the picture view: the visible part of a 6000 x 4000 pxRGB24 picture (synthetic, "
             "photo-like) rendered into a 1920 x 1080 24-bit back buffer (`TBitmap`) with the source and "
             "destination rectangles of a view centred on the picture, the clip set to the buffer, the view's "
             "row table kept between frames and ReuseRows on (solid background). *direct* is "
             "`RenderScaledToTBitmap` as the view calls it; *cached* is `TZoomRenderCache::Render` "
             "(viewer/zoomcache.h) with the levels it needs already built; *first frame* is the cached render "
             "right after `Invalidate`, building its levels included (once per picture). *memcpy* copies the "
             "back buffer's bytes into a second back buffer allocated the same way.",
             "",
             f"Measured with `bench/compare_view_render.py --runs {runs}` on {platform.machine()} "
             f"({os.cpu_count()} cores, shared with other builds while measuring): Google Benchmark, the "
             "benchmarks interleaved at random, each repeated; the figures are the minimum CPU time and, in "
             "brackets, the minimum wall time over the repetitions, in ms. Targets: an rfNone frame under 4 ms, "
             "an rfFastLinear frame under 16 ms.",
             "",
             "| zoom | rfNone direct | rfFastLinear direct | rfFastLinear cached | first frame after Invalidate | levels (MB) |",
             "|---:|---:|---:|---:|---:|---:|"]

    def cell(name):
        return f"{cpu[name]:.2f} ({real[name]:.2f})" if name in cpu else "-"

    for zoom in (10, 37, 100, 350, 1000):
        levels, mb = counters.get(f"ViewRender/cached/rfFastLinear/zoom{zoom}", (0, 0.0))
        lines.append(f"| {zoom} % | {cell(f'ViewRender/direct/rfNone/zoom{zoom}')} | "
                     f"{cell(f'ViewRender/direct/rfFastLinear/zoom{zoom}')} | "
                     f"{cell(f'ViewRender/cached/rfFastLinear/zoom{zoom}')} | "
                     f"{cell(f'ViewRender/firstframe/rfFastLinear/zoom{zoom}')} | "
                     f"{levels} ({mb:.1f}) |")
    lines.append(f"| memcpy 1920 x 1080 x 3 | {cell('ViewRender/memcpy_1920x1080x3')} | | | | |")
    lines += ["",
              "Notes:",
              "- rfNone through the cache is the direct render (pixel-exact scaling never reads the levels); "
              "so are rfFastLinear at 100 % and above and reductions by less than 2.",
              "- The cache reduces from the picture halved k times, 2^k being at most the reduction ratio, "
              "with a box of the level pixels that hold the direct path's box; each cached pixel lies between "
              "the smallest and largest source value within 2^k - 1 source pixels of the direct path's box "
              "(tests/viewer/zoomcache_test.cpp checks this pixel by pixel, and agreement within 2 levels on "
              "a smooth picture).",
              "- The first frame after `Invalidate` pays for the halvings (a third of the picture's bytes "
              "written); the view invalidates when the picture changes, so this cost comes once per picture, "
              "beside its decoding.",
              ""]
    return "\n".join(lines)


def main():
    ap = argparse.ArgumentParser()
    here = os.path.dirname(os.path.abspath(__file__))
    ap.add_argument("--bench", default=os.path.join(here, "..", "build", "bench", "revimora-bench"))
    ap.add_argument("--runs", type=int, default=9)
    ap.add_argument("--write", help="markdown file whose '%s' section is replaced or appended" % HEADING)
    args = ap.parse_args()
    text = section(*run(args.bench, args.runs), args.runs)
    print(text)
    if args.write:
        with open(args.write) as f:
            doc = f.read()
        start = doc.find(HEADING + "\n")
        if start < 0:
            doc = doc.rstrip("\n") + "\n\n" + text
        else:
            end = doc.find("\n## ", start + len(HEADING))
            doc = doc[:start] + text + ("\n" + doc[end + 1:] if end >= 0 else "")
        with open(args.write, "w") as f:
            f.write(doc)


if __name__ == "__main__":
    main()
