#!/usr/bin/python3
"""GIF decoding beside giflib and Pillow, on the same file, doing the same work.

Makes a photo-like 6000 x 4000 picture with Pillow, reduces it to 256 colours
(Pillow's median cut, no dithering) and saves it as a GIF, then decodes that
file from memory in two kinds of work:
  - colours, 3 bytes a pixel:
      ours:   GifDecodeToRGB24 of revimora-bench (TPictureIO::LoadBuffer into a
              fresh pxRGB24 picture);
      giflib: bench/gif_giflib.c `rgb` (DGifGetLine into a fresh index buffer,
              then through the colour map into a fresh blue, green, red buffer);
      Pillow: Image.open(BytesIO(data)).convert("RGB") (loads the indices,
              then converts them to its RGB image, which keeps 4 bytes a pixel);
  - indices, 1 byte a pixel:
      ours:   GifDecodeToPalette8 (the same load with NativePixelFormat: a
              fresh pxPalette8 picture with the table as palette), and
              GifLzwIndices (the LZW decoder alone into a reused buffer, for
              reference);
      giflib: bench/gif_giflib.c `indices` (DGifGetLine into a fresh buffer);
      Pillow: Image.open(BytesIO(data)).load() (mode "P").
giflib's buffers are allocated as ours are (2 MiB aligned, whole 2 MiB pages,
MADV_HUGEPAGE from 8 MiB). Pillow allocates its image through malloc; it runs in a child
process with GLIBC_TUNABLES=glibc.malloc.hugetlb=1, which has malloc offer
its large blocks to transparent huge pages too, and, for reference, once more
with the default malloc (4 KiB pages, whose first touches are expensive on
some virtual machines).

The machine may be shared, so the three decoders run interleaved: each round
runs ours, giflib and Pillow once more, and each figure is the lowest of all
rounds. Times are CPU seconds of the one thread doing the work: Google
Benchmark's cpu_time, CLOCK_PROCESS_CPUTIME_ID inside the giflib program,
time.process_time() around Pillow's calls.

Usage: bench/compare_gif.py [--bench build/bench/revimora-bench] [--rounds 5] [--write docs/BENCHMARKS.md]
"""
import argparse
import io
import json
import os
import platform
import resource
import subprocess
import sys
import time

from PIL import Image

HEADING = "## GIF"
WIDTH, HEIGHT = 6000, 4000


def make_file(folder):
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(folder, "photo256.gif")
    if not os.path.exists(path):
        size = (WIDTH, HEIGHT)
        gradient = Image.linear_gradient("L").resize(size, Image.BILINEAR)
        fractal = Image.effect_mandelbrot(size, (-2.2, -1.2, 1.0, 1.2), 60)
        noise = Image.effect_noise(size, 12)
        picture = Image.merge("RGB", (gradient, fractal, noise))
        picture.quantize(256, method=Image.MEDIANCUT, dither=Image.NONE).save(path)
    return path


def ours_ms(bench, path, repetitions):
    env = dict(os.environ, REVIMORA_GIF_FILE=path)
    out = subprocess.run([bench, "--benchmark_filter=^Gif", "--benchmark_format=json",
                          f"--benchmark_repetitions={repetitions}", "--benchmark_min_time=0.3"],
                         env=env, check=True, capture_output=True, text=True).stdout
    best = {}
    for b in json.loads(out)["benchmarks"]:
        if b.get("run_type") != "iteration":
            continue
        if b.get("error_occurred"):
            raise SystemExit(f"{b['run_name']}: {b.get('error_message')}")
        ms = b["cpu_time"] * {"ms": 1.0, "us": 1e-3, "ns": 1e-6, "s": 1e3}[b["time_unit"]]
        best[b["run_name"]] = min(best.get(b["run_name"], ms), ms)
    return best


def build_giflib(here, folder):
    exe = os.path.join(folder, "gif_giflib")
    subprocess.run(["cc", "-O2", "-o", exe, os.path.join(here, "gif_giflib.c"), "-lgif"], check=True)
    return exe


def giflib_ms(exe, path, mode, runs):
    out = subprocess.run([exe, path, mode, str(runs)], check=True, capture_output=True, text=True).stdout
    return float(out.strip())


def pillow_ms(path, work, runs, huge_pages):
    """Pillow in a child process, so its malloc can be set up for huge pages."""
    env = dict(os.environ)
    if huge_pages:
        env["GLIBC_TUNABLES"] = "glibc.malloc.hugetlb=1"
    out = subprocess.run([sys.executable, os.path.abspath(__file__), "--pillow-worker", work, path, str(runs)],
                         env=env, check=True, capture_output=True, text=True).stdout
    ms, faults = out.split()
    return float(ms), int(faults)


def pillow_rgb(data):
    picture = Image.open(io.BytesIO(data)).convert("RGB")
    assert picture.mode == "RGB" and picture.size == (WIDTH, HEIGHT)


def pillow_indices(data):
    picture = Image.open(io.BytesIO(data))
    picture.load()
    assert picture.mode == "P" and picture.size == (WIDTH, HEIGHT)


def pillow_worker(work, path, runs):
    """Prints the best CPU milliseconds of runs after one warm-up run, and the
    page faults of the last run."""
    data = open(path, "rb").read()
    decode = {"rgb": pillow_rgb, "indices": pillow_indices}[work]
    decode(data)
    best = float("inf")
    faults = 0
    for _ in range(runs):
        f = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
        t = time.process_time()
        decode(data)
        best = min(best, time.process_time() - t)
        faults = resource.getrusage(resource.RUSAGE_SELF).ru_minflt - f
    print(f"{best * 1e3:.3f} {faults}")
    return 0


def main():
    if len(sys.argv) == 5 and sys.argv[1] == "--pillow-worker":
        return pillow_worker(sys.argv[2], sys.argv[3], int(sys.argv[4]))
    ap = argparse.ArgumentParser()
    here = os.path.dirname(os.path.abspath(__file__))
    ap.add_argument("--bench", default=os.path.join(here, "..", "build", "bench", "revimora-bench"))
    ap.add_argument("--folder", default="/dev/shm/revimora-gif")
    ap.add_argument("--rounds", type=int, default=5, help="interleaved rounds of all three decoders")
    ap.add_argument("--runs", type=int, default=3, help="runs of each decoder within a round")
    ap.add_argument("--write", help="markdown file whose '%s' section is replaced (or appended)" % HEADING)
    args = ap.parse_args()

    path = make_file(args.folder)
    exe = build_giflib(here, args.folder)
    best = {}
    faults = {}

    def keep(name, ms):
        best[name] = min(best.get(name, ms), ms)

    load_before = os.getloadavg()[0]
    for _ in range(args.rounds):
        for name, ms in ours_ms(args.bench, path, args.runs).items():
            keep(name, ms)
        keep("giflib rgb", giflib_ms(exe, path, "rgb", args.runs))
        keep("giflib indices", giflib_ms(exe, path, "indices", args.runs))
        for work in ("rgb", "indices"):
            for name, huge in ((f"Pillow {work}", True), (f"Pillow {work} 4k", False)):
                ms, faults[name] = pillow_ms(path, work, args.runs, huge)
                keep(name, ms)

    load = (load_before, os.getloadavg()[0])
    mp = WIDTH * HEIGHT / 1e6
    rate = lambda ms: mp / ms * 1e3
    cpu = "unknown CPU"
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass

    rgb, pal, lzw = best["GifDecodeToRGB24"], best["GifDecodeToPalette8"], best["GifLzwIndices"]
    lines = [HEADING, ""]
    lines.append(f"Machine: {cpu}, {os.cpu_count()} cores, {platform.system()} {platform.release()}; "
                 f"Pillow {Image.__version__}; giflib from the system (`-lgif`); measured {time.strftime('%Y-%m-%d')}, "
                 f"load average {load[0]:.1f} at the start and {load[1]:.1f} at the end (a shared machine).")
    lines.append("")
    lines.append(f"Command: `bench/compare_gif.py --bench build/bench/revimora-bench --rounds {args.rounds}` "
                 f"(Release build). One file: {WIDTH} x {HEIGHT}, 256 colours, "
                 f"{os.path.getsize(path) / 1e6:.1f} MB, made by the script with Pillow from a gradient, a "
                 "Mandelbrot picture and noise, decoded from memory by every side. The decoders run interleaved, "
                 f"{args.rounds} rounds of ours, giflib and Pillow in turn; each figure is the lowest CPU time of one "
                 f"thread over all rounds ({args.runs} runs or Google Benchmark repetitions per round). Output memory "
                 "is allocated the same way on every side: our pictures and index plane are 2 MiB aligned whole 2 MiB "
                 "pages with "
                 "`MADV_HUGEPAGE` from 8 MiB; giflib's buffers are allocated so by the harness; Pillow runs with "
                 "`GLIBC_TUNABLES=glibc.malloc.hugetlb=1`, so its malloc offers large blocks to transparent huge "
                 "pages. Pillow with the default malloc (4 KiB pages) is listed for reference: there one decode to "
                 f"colours takes {faults['Pillow rgb 4k']} page faults against {faults['Pillow rgb']} with huge pages, "
                 "and on this virtual machine first touches of pages are most of its time. "
                 "Target: faster than Pillow doing the same work.")
    lines.append("")
    lines.append("| work | decoder | output | ms | MP/s | its time / ours |")
    lines.append("|---|---|---|---:|---:|---:|")
    rows = [
        ("colours", "ours, TPictureIO::LoadBuffer", "pxRGB24, fresh picture", rgb, rgb),
        ("colours", "giflib DGifGetLine + colour map", "BGR 3 bytes a pixel, fresh buffer", best["giflib rgb"], rgb),
        ("colours", "Pillow `open(...).convert(\"RGB\")`", "RGB image (4 bytes a pixel)", best["Pillow rgb"], rgb),
        ("colours", "same, default malloc (reference)", "RGB image (4 bytes a pixel)", best["Pillow rgb 4k"], rgb),
        ("indices", "ours, TPictureIO::LoadBuffer, NativePixelFormat", "pxPalette8, fresh picture", pal, pal),
        ("indices", "giflib DGifGetLine", "indices, fresh buffer", best["giflib indices"], pal),
        ("indices", "Pillow `open(...).load()`", "mode P image", best["Pillow indices"], pal),
        ("indices", "same, default malloc (reference)", "mode P image", best["Pillow indices 4k"], pal),
        ("indices", "ours, DecodeGifLzwData alone", "indices, reused buffer", lzw, pal),
    ]
    for work, name, output, ms, base in rows:
        lines.append(f"| {work} | {name} | {output} | {ms:.1f} | {rate(ms):.0f} | {ms / base:.2f} |")
    lines.append("")
    met_rgb = best["Pillow rgb"] > rgb
    met_pal = best["Pillow indices"] > pal
    lines.append(f"Target {'met' if met_rgb and met_pal else 'not met'}: to colours ours takes "
                 f"{rgb / best['Pillow rgb']:.2f} of Pillow's time and {rgb / best['giflib rgb']:.2f} of giflib's; "
                 f"to indices {pal / best['Pillow indices']:.2f} of Pillow's and "
                 f"{pal / best['giflib indices']:.2f} of giflib's.")
    lines.append("")
    text = "\n".join(lines)
    print(text)

    if args.write:
        old = open(args.write).read() if os.path.exists(args.write) else "# Benchmarks\n"
        start = old.find(HEADING + "\n")
        if start < 0:
            new = old.rstrip("\n") + "\n\n" + text
        else:
            end = old.find("\n## ", start + len(HEADING))
            new = old[:start] + text + (old[end:] if end >= 0 else "")
        with open(args.write, "w") as f:
            f.write(new.rstrip("\n") + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
