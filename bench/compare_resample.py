#!/usr/bin/python3
"""Resampling and scaled rendering beside Pillow and libvips, on the same pixels.

Makes a photo-like 6000 x 4000 picture (and a 1000 x 700 reduction of it) with
Pillow, runs the resampling and RenderScaled benchmarks of revimora-bench on
those files, then Pillow's Image.resize with the matching filter and
`VIPS_CONCURRENCY=1 vips resize` on the same files, all in this one run.

Times are CPU seconds of the one thread doing the work, the lowest of a few
runs, so other load on the machine does not count:
  - revimora-bench: Google Benchmark's cpu_time (min over --benchmark_repetitions);
  - Pillow: time.process_time() around Image.resize only (Pillow resizes on one thread);
  - vips: CPU time of the child process (user + system from getrusage) for
    `vips resize big.v out.v SCALE`, minus the same command on a 4 x 4 picture,
    which removes start-up and library loading. The input is in vips' own
    format (memory-mapped, no decoding) and the output goes to /dev/shm.

Usage: bench/compare_resample.py [--bench build/bench/revimora-bench] [--write docs/BENCHMARKS.md]
"""
import argparse
import json
import os
import platform
import resource
import subprocess
import sys
import time

from PIL import Image

HEADING = "## Resampling and scaled rendering"

# Our filter -> Pillow filter it is compared with.
PILLOW_FILTER = {
    "rfLanczos3": Image.LANCZOS,
    "rfMitchell": Image.BICUBIC,
    "rfBicubic": Image.BICUBIC,
    "rfTriangle": Image.BILINEAR,
    "rfFastLinear": Image.BILINEAR,
    "rfNearest": Image.BOX,
    "rfNone": Image.NEAREST,
}
PILLOW_NAME = {Image.LANCZOS: "LANCZOS", Image.BICUBIC: "BICUBIC", Image.BILINEAR: "BILINEAR",
               Image.BOX: "BOX", Image.NEAREST: "NEAREST"}


def make_pictures(folder):
    os.makedirs(folder, exist_ok=True)
    large = os.path.join(folder, "large.ppm")
    small = os.path.join(folder, "small.ppm")
    if not (os.path.exists(large) and os.path.exists(small)):
        size = (6000, 4000)
        gradient = Image.linear_gradient("L").resize(size, Image.BILINEAR)
        noise = Image.effect_noise(size, 40)
        fractal = Image.effect_mandelbrot(size, (-2.2, -1.2, 1.0, 1.2), 60)
        picture = Image.merge("RGB", (gradient, noise, fractal))
        picture.save(large)
        picture.resize((1000, 700), Image.LANCZOS).save(small)
    return large, small


def run_ours(bench, large, small, repetitions):
    env = dict(os.environ, REVIMORA_RESAMPLE_LARGE=large, REVIMORA_RESAMPLE_SMALL=small)
    out = subprocess.run([bench, "--benchmark_filter=^(Resample|RenderScaled)/", "--benchmark_format=json",
                          f"--benchmark_repetitions={repetitions}", "--benchmark_min_time=0.3"],
                         env=env, check=True, capture_output=True, text=True).stdout
    best = {}
    for b in json.loads(out)["benchmarks"]:
        if b.get("run_type") != "iteration":
            continue
        ms = b["cpu_time"] * {"ms": 1.0, "us": 1e-3, "ns": 1e-6, "s": 1e3}[b["time_unit"]]
        name = b["run_name"]
        best[name] = min(best.get(name, ms), ms)
    return best


def pillow_ms(picture, size, resample, runs):
    picture.resize(size, resample)  # warm-up
    best = float("inf")
    for _ in range(runs):
        t = time.process_time()
        picture.resize(size, resample)
        best = min(best, time.process_time() - t)
    return best * 1e3


def child_cpu():
    r = resource.getrusage(resource.RUSAGE_CHILDREN)
    return r.ru_utime + r.ru_stime


def vips_ms(source_v, tiny_v, scale, kernel, runs, folder):
    env = dict(os.environ, VIPS_CONCURRENCY="1")
    out = os.path.join(folder, "out.v")

    def once(path):
        before = child_cpu()
        subprocess.run(["vips", "resize", path, out, str(scale), "--kernel", kernel], env=env, check=True)
        return child_cpu() - before

    best_big = min(once(source_v) for _ in range(runs))
    best_tiny = min(once(tiny_v) for _ in range(runs))
    return (best_big - best_tiny) * 1e3


def main():
    ap = argparse.ArgumentParser()
    here = os.path.dirname(os.path.abspath(__file__))
    ap.add_argument("--bench", default=os.path.join(here, "..", "build", "bench", "revimora-bench"))
    ap.add_argument("--folder", default="/dev/shm/revimora-resample")
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--write", help="markdown file whose '%s' section is replaced" % HEADING)
    args = ap.parse_args()

    large, small = make_pictures(args.folder)
    ours = run_ours(args.bench, large, small, args.runs)

    big = Image.open(large)
    big.load()
    little = Image.open(small)
    little.load()

    # vips works best from its own format (memory-mapped, no decoding).
    large_v = os.path.join(args.folder, "large.v")
    tiny_v = os.path.join(args.folder, "tiny.v")
    if not os.path.exists(large_v):
        subprocess.run(["vips", "copy", large, large_v], check=True)
    if not os.path.exists(tiny_v):
        Image.new("RGB", (4, 4), (10, 20, 30)).save(os.path.join(args.folder, "tiny.ppm"))
        subprocess.run(["vips", "copy", os.path.join(args.folder, "tiny.ppm"), tiny_v], check=True)

    rows = []
    for name, ms in ours.items():
        parts = name.split("/")
        if parts[0] != "Resample":
            continue
        _, flt, src, dst = parts
        w, h = (int(v) for v in dst.split("x"))
        picture = big if src == "6000x4000" else little
        pf = PILLOW_FILTER[flt]
        pil = pillow_ms(picture, (w, h), pf, args.runs)
        vips = None
        if flt == "rfLanczos3" and src == "6000x4000":
            vips = vips_ms(large_v, tiny_v, w / 6000, "lanczos3", args.runs, args.folder)
        rows.append((f"{src} -> {dst}", flt, ms, PILLOW_NAME[pf], pil, vips))

    cpu = "unknown CPU"
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    lines = [HEADING, ""]
    lines.append(f"Machine: {cpu}, {os.cpu_count()} cores, {platform.system()} {platform.release()}; "
                 f"Pillow {Image.__version__}; "
                 f"{subprocess.run(['vips', '--version'], capture_output=True, text=True).stdout.strip()}; "
                 f"measured {time.strftime('%Y-%m-%d')}, load average {os.getloadavg()[0]:.1f} at the end "
                 "(other work on the machine slows the memory-bound cases even in CPU time).")
    lines.append("")
    lines.append("Command: `bench/compare_resample.py --bench build/bench/revimora-bench` (one run: our benchmark, "
                 "Pillow and vips on the same pictures). CPU milliseconds of one thread, best of "
                 f"{args.runs}; vips is `VIPS_CONCURRENCY=1 vips resize` timed as the child's CPU time minus a run "
                 "on a 4 x 4 picture. Ratio = ours / theirs (below 1.0: we are faster).")
    lines.append("")
    lines.append("| resize | our filter | ours ms | Pillow filter | Pillow ms | ratio | vips ms | ratio to vips |")
    lines.append("|---|---|---:|---|---:|---:|---:|---:|")
    for case, flt, ms, pname, pil, vips in rows:
        vcol = f"{vips:.1f} | {ms / vips:.2f}" if vips else " | "
        lines.append(f"| {case} | {flt} | {ms:.1f} | {pname} | {pil:.1f} | {ms / pil:.2f} | {vcol} |")
    lines.append("")
    memcpy = ours.get("RenderScaled/memcpy_1920x1080x3")
    lines.append("RenderScaled of a 1920 x 1080 view of the 6000 x 4000 picture (centred), beside a memcpy of "
                 f"1920 x 1080 x 3 bytes: {memcpy:.2f} ms.")
    lines.append("")
    lines.append("| zoom | rfNone ms | target | rfFastLinear ms | target |")
    lines.append("|---:|---:|---:|---:|---:|")
    for zoom in (10, 37, 100, 350):
        a = ours.get(f"RenderScaled/rfNone/zoom{zoom}")
        b = ours.get(f"RenderScaled/rfFastLinear/zoom{zoom}")
        lines.append(f"| {zoom} % | {a:.2f} | < 3 | {b:.2f} | < 12 |")
    lines.append("")
    text = "\n".join(lines)
    print(text)

    if args.write:
        old = open(args.write).read() if os.path.exists(args.write) else "# Benchmarks\n"
        start = old.find(HEADING)
        if start < 0:
            new = old.rstrip("\n") + "\n\n" + text
        else:
            end = old.find("\n## ", start + len(HEADING))
            notes_start = old.find("### ", start)
            # Keep hand-written notes (### subsections) of this section.
            keep = old[notes_start:end if end >= 0 else len(old)] if 0 <= notes_start < (end if end >= 0 else len(old)) else ""
            new = old[:start] + text + ("\n" + keep.rstrip("\n") + "\n" if keep else "") + (old[end:] if end >= 0 else "")
        with open(args.write, "w") as f:
            f.write(new.rstrip("\n") + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
