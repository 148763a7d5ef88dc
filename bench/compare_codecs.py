#!/usr/bin/python3
"""JPEG, PNG and JPEG 2000 decoding beside the libraries, Pillow, ImageMagick and opj_decompress.

Makes a photo-like 6000 x 4000 picture with ImageMagick and writes it as the
files below (the recipe is MAKE; the files are not kept in the repository),
then in this one run decodes each file
  - through TPictureIO (the Codec/*/ours benchmarks of revimora-bench: a fresh
    component and bitmap each time),
  - with the same library called directly into a fresh buffer allocated as our
    bitmaps are (Codec/*/library: libjpeg-turbo into BGR rows, libpng into
    BGR(A) rows, OpenJPEG into its component buffers then interleaved into BGR
    rows), reading the file in 64 KiB blocks as we do; Codec/*/library_malloc
    is the same into a new[] block,
  - with Pillow, with ImageMagick and, for JPEG 2000, with opj_decompress;
    Pillow also keeping its freed blocks for the next picture, so its pixels
    land on memory already touched.
Every process runs with glibc's malloc set (GLIBC_TUNABLES, LIKE_OURS) to
give large blocks fresh on huge pages, as our bitmaps are.

  baseline.jpg     JPEG baseline, quality 90, 4:2:0
  progressive.jpg  the same, progressive
  rgb.png          PNG RGB 8-bit (ImageMagick's default compression)
  rgba.png         PNG RGBA 8-bit (alpha a diagonal gradient)
  interlaced.png   PNG RGB 8-bit, Adam7
  photo.jp2        JP2, lossy 20:1 (opj_compress -r 20, 6 resolution levels), one tile

Times are CPU seconds of the one thread doing the work, the lowest of all
runs, so other load on the machine counts as little as it can. The whole
measurement is done --rounds times, one round after another, so every
decoder is timed in every stretch of the run:
  - revimora-bench: Google Benchmark's cpu_time (min over --benchmark_repetitions,
    benchmarks in random interleaved order);
  - Pillow: time.process_time() around Image.open(path).load(), in a child
    Python after one warm-up load;
  - ImageMagick: CPU time of the child (user + system, getrusage) for
    `convert FILE null:` with MAGICK_THREAD_LIMIT=1, minus the same on a
    4 x 4 file of the same kind (start-up);
  - opj_decompress: CPU time of the child for decoding into a PPM in /dev/shm
    (one thread), minus the same on a 4 x 4 file.

Usage: bench/compare_codecs.py [--bench build/bench/revimora-bench] [--write docs/BENCHMARKS.md]
"""
import argparse
import json
import os
import platform
import resource
import shutil
import subprocess
import sys
import time

from PIL import Image

HEADING = "## JPEG, PNG and JPEG 2000"
WIDTH, HEIGHT = 6000, 4000

BASE = ["convert", "-size", "1500x1000", "-seed", "7", "plasma:fractal", "-resize", f"{WIDTH}x{HEIGHT}!",
        "-attenuate", "0.3", "+noise", "Gaussian", "-depth", "8"]
# {src} is a PPM of the picture; {w}x{h} its size; {levels} the resolution
# levels OpenJPEG's encoder uses (its default 6; a 4 x 4 picture takes 2).
MAKE = {
    "baseline.jpg": ["convert", "{src}", "-quality", "90", "-sampling-factor", "2x2", "-interlace", "none", "{dst}"],
    "progressive.jpg": ["convert", "{src}", "-quality", "90", "-sampling-factor", "2x2", "-interlace", "JPEG",
                        "{dst}"],
    "rgb.png": ["convert", "{src}", "-interlace", "none", "PNG24:{dst}"],
    "rgba.png": ["convert", "{src}", "(", "-size", "{w}x{h}", "gradient:white-black", "-rotate", "0", ")",
                 "-alpha", "off", "-compose", "CopyOpacity", "-composite", "-interlace", "none", "PNG32:{dst}"],
    "interlaced.png": ["convert", "{src}", "-interlace", "PNG", "PNG24:{dst}"],
    "photo.jp2": ["opj_compress", "-i", "{src}", "-o", "{dst}", "-r", "20", "-n", "{levels}"],
}
CASES = [
    ("jpeg_baseline", "baseline.jpg", "JPEG baseline q90 4:2:0"),
    ("jpeg_progressive", "progressive.jpg", "JPEG progressive q90 4:2:0"),
    ("png_rgb", "rgb.png", "PNG RGB 8-bit"),
    ("png_rgba", "rgba.png", "PNG RGBA 8-bit"),
    ("png_interlaced", "interlaced.png", "PNG RGB 8-bit, interlaced"),
    ("jp2", "photo.jp2", "JPEG 2000 (JP2, 20:1)"),
]


def make_files(folder):
    os.makedirs(folder, exist_ok=True)
    sources = {"": (os.path.join(folder, "source.ppm"), WIDTH, HEIGHT),
               "tiny-": (os.path.join(folder, "tiny-source.ppm"), 4, 4)}
    if not os.path.exists(sources[""][0]):
        subprocess.run(BASE + [sources[""][0]], check=True)
    if not os.path.exists(sources["tiny-"][0]):
        subprocess.run(["convert", "-size", "4x4", "gradient:red-blue", "-depth", "8", sources["tiny-"][0]],
                       check=True)
    for name, recipe in MAKE.items():
        for prefix, (src, w, h) in sources.items():
            dst = os.path.join(folder, prefix + name)
            if not os.path.exists(dst):
                subprocess.run([a.format(src=src, dst=dst, w=w, h=h, levels=6 if w > 4 else 2) for a in recipe], check=True,
                               stdout=subprocess.DEVNULL)


def run_bench(bench, folder, repetitions, best):
    env = dict(os.environ, REVIMORA_CODECS_DIR=folder, GLIBC_TUNABLES=LIKE_OURS)
    out = subprocess.run([bench, "--benchmark_filter=^Codec/", "--benchmark_format=json",
                          f"--benchmark_repetitions={repetitions}", "--benchmark_min_time=0.5",
                          "--benchmark_enable_random_interleaving=true"],
                         env=env, check=True, capture_output=True, text=True).stdout
    for b in json.loads(out)["benchmarks"]:
        if b.get("run_type") != "iteration":
            continue
        if b.get("error_occurred"):
            raise SystemExit(f"{b['run_name']}: {b.get('error_message')}")
        ms = b["cpu_time"] * {"ms": 1.0, "us": 1e-3, "ns": 1e-6, "s": 1e3}[b["time_unit"]]
        best[b["run_name"]] = (min(best.get(b["run_name"], (ms, 0))[0], ms), b.get("MP", 0))
    return best


# glibc's malloc offers its mmap'ed blocks to transparent huge pages, and a
# fixed threshold keeps every large block mmap'ed: each picture then takes
# fresh memory on huge pages, as our bitmaps do (by default glibc's choice
# depends on what the process freed before). Every process measured runs
# with it, ours included, so the libraries' own large buffers (libjpeg's
# coefficients of a progressive file, OpenJPEG's tiles) are alike everywhere.
LIKE_OURS = "glibc.malloc.hugetlb=1:glibc.malloc.mmap_threshold=4194304"

PILLOW_RUN = """
import sys, time
from PIL import Image
path, runs, reuse = sys.argv[1], int(sys.argv[2]), sys.argv[3] == "1"
# Pillow keeps up to blocks_max freed blocks (16 MiB each) for the next
# picture; by default it keeps none.
Image.core.set_blocks_max(64 if reuse else 0)
Image.open(path).load()  # warm-up
best = float("inf")
for _ in range(runs):
    t = time.process_time()
    Image.open(path).load()
    best = min(best, time.process_time() - t)
print(best * 1e3)
"""


def pillow_ms(path, runs, reuse_blocks=False):
    env = dict(os.environ, GLIBC_TUNABLES=LIKE_OURS)
    out = subprocess.run([sys.executable, "-c", PILLOW_RUN, path, str(runs), "1" if reuse_blocks else "0"],
                         env=env, check=True, capture_output=True, text=True).stdout
    return float(out.strip())


def child_cpu():
    r = resource.getrusage(resource.RUSAGE_CHILDREN)
    return r.ru_utime + r.ru_stime


def child_ms(command, path, tiny, runs, env=None):
    def once(p):
        before = child_cpu()
        subprocess.run([a.format(src=p) for a in command], env=env, check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        return child_cpu() - before

    once(path)  # warm-up
    return (min(once(path) for _ in range(runs)) - min(once(tiny) for _ in range(runs))) * 1e3


def magick_ms(path, tiny, runs):
    return child_ms(["convert", "{src}", "null:"], path, tiny, runs,
                    dict(os.environ, MAGICK_THREAD_LIMIT="1", GLIBC_TUNABLES=LIKE_OURS))


def opj_ms(path, tiny, runs):
    out = "/dev/shm/revimora-opj-out.ppm"
    try:
        return child_ms(["opj_decompress", "-i", "{src}", "-o", out, "-threads", "1"], path, tiny, runs,
                        dict(os.environ, GLIBC_TUNABLES=LIKE_OURS))
    finally:
        if os.path.exists(out):
            os.remove(out)


def main():
    ap = argparse.ArgumentParser()
    here = os.path.dirname(os.path.abspath(__file__))
    ap.add_argument("--bench", default=os.path.join(here, "..", "build", "bench", "revimora-bench"))
    ap.add_argument("--folder", default="/dev/shm/revimora-codecs")
    ap.add_argument("--runs", type=int, default=3, help="repetitions of each decoder in a round")
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--write", help="markdown file whose '%s' section is replaced (or appended)" % HEADING)
    args = ap.parse_args()
    if not shutil.which("opj_compress"):
        raise SystemExit("opj_compress is missing: apt-get install libopenjp2-tools")

    make_files(args.folder)
    ours = {}
    others = {}

    def keep(key, ms):
        others[key] = min(others.get(key, ms), ms)

    for _ in range(args.rounds):
        run_bench(args.bench, args.folder, args.runs, ours)
        for case, name, label in CASES:
            path = os.path.join(args.folder, name)
            tiny = os.path.join(args.folder, "tiny-" + name)
            keep((case, "pillow"), pillow_ms(path, args.runs))
            keep((case, "pillow_reuse"), pillow_ms(path, args.runs, reuse_blocks=True))
            keep((case, "magick"), magick_ms(path, tiny, args.runs))
            if name.endswith(".jp2"):
                keep((case, "opj"), opj_ms(path, tiny, args.runs))

    rows = []
    for case, name, label in CASES:
        path = os.path.join(args.folder, name)
        mine, mp = ours[f"Codec/{case}/ours"]
        lib, _ = ours[f"Codec/{case}/library"]
        small, _ = ours[f"Codec/{case}/library_malloc"]
        rows.append((label, os.path.getsize(path) / 1e6, mp, mine, lib, small, others[(case, "pillow")],
                     others[(case, "pillow_reuse")], others[(case, "magick")], others.get((case, "opj"))))
    scaled_ours, scaled_mp = ours["Codec/jpeg_scale8/ours"]
    scaled_lib, _ = ours["Codec/jpeg_scale8/library"]

    cpu = "unknown CPU"
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    magick = subprocess.run(["convert", "-version"], capture_output=True, text=True).stdout.splitlines()[0]
    lines = [HEADING, ""]
    lines.append(f"Machine: {cpu}, {os.cpu_count()} cores, {platform.system()} {platform.release()}; "
                 f"Pillow {Image.__version__}; {magick.replace('Version: ', '')}; measured {time.strftime('%Y-%m-%d')}.")
    lines.append("")
    lines.append("Command: `bench/compare_codecs.py --bench build/bench/revimora-bench` (one run: our benchmark, the "
                 "libraries called directly, Pillow, ImageMagick and opj_decompress on the same files, made by the "
                 "script from a 6000 x 4000 plasma fractal with mild noise). CPU milliseconds of one thread, the "
                 f"lowest of {args.rounds} rounds x {args.runs} runs (the rounds one after another, our benchmarks in "
                 "random interleaved order), files in the page cache.")
    lines.append("")
    lines.append("How each side was measured: *ours* is `TPictureIO::LoadFileByExtension` into a new component (a fresh "
                 "bitmap: 2 MiB-aligned blocks of whole 2 MiB pages offered to transparent huge pages from 8 MiB; the "
                 "file read in 64 KiB "
                 "blocks or more). *library* is the library called directly with the same output: libjpeg-turbo "
                 "into BGR rows, libpng into BGR(A) rows (de-interlaced by libpng), OpenJPEG into its component "
                 "buffers then clamped and interleaved into BGR rows; its output block is allocated as our bitmaps "
                 "are and the file read through stdio with a 64 KiB buffer. *library, new[]* is the same into a new[] "
                 "block (small pages without the malloc setting below, huge pages with it). "
                 "Every process measured, ours included, runs with glibc's malloc set to give large blocks fresh on "
                 f"huge pages (`GLIBC_TUNABLES={LIKE_OURS}`), as our bitmaps are, so Pillow's and ImageMagick's "
                 "pixels and the libraries' own large buffers are alike on every side. Pillow is "
                 "`Image.open(path).load()` in a child Python, once as that and once keeping its freed 16 MiB blocks "
                 "for the next picture (`Image.core.set_blocks_max(64)`: its pixels then land on memory already "
                 "touched, which no fresh bitmap of ours has). ImageMagick is `convert FILE null:` (one thread) and "
                 "`opj_decompress` (one thread, PPM to /dev/shm), each minus the same on a 4 x 4 file. Targets: at "
                 "least 0.9 x the library's rate for JPEG and PNG, faster than Pillow and ImageMagick; JPEG 1/8 "
                 "within 1.1 x the library's time.")
    lines.append("")
    lines.append("| file | MB | ours ms | ours MP/s | library ms | ours / library rate | library, new[] ms | "
                 "Pillow ms | ours / Pillow rate | Pillow, reused blocks ms | ours / that rate | ImageMagick ms | "
                 "ours / ImageMagick rate | opj_decompress ms |")
    lines.append("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    for label, mb, mp, mine, lib, small, pil, pilr, im, opj in rows:
        lines.append(f"| {label} | {mb:.1f} | {mine:.0f} | {mp / mine * 1e3:.0f} | {lib:.0f} | {lib / mine:.2f} | "
                     f"{small:.0f} | {pil:.0f} | {pil / mine:.2f} | {pilr:.0f} | {pilr / mine:.2f} | {im:.0f} | "
                     f"{im / mine:.2f} | {'' if opj is None else f'{opj:.0f}'} |")
    lines.append("")
    lines.append(f"JPEG scaled to 1/8 (JpegScale 4, {scaled_mp:.2f} MP out of 24): ours {scaled_ours:.1f} ms, "
                 f"libjpeg-turbo's own 1/8 decode {scaled_lib:.1f} ms: ours / library time "
                 f"{scaled_ours / scaled_lib:.2f}.")
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
            new = old[:start] + text + (old[end:] if end >= 0 else "")
        with open(args.write, "w") as f:
            f.write(new.rstrip("\n") + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
