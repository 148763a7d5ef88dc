#!/usr/bin/python3
"""Quarter turn of a 24 MP picture: Revimora beside memcpy and Pillow, one run.

Runs the rotation benchmarks of revimora-bench (bench/rotate_bench.cpp) and
times Pillow's transpose(ROTATE_270) -- the same clockwise quarter turn -- on
the same pixels inside this process, one thread. Prints a Markdown table of
CPU times (the machine may be shared; CPU time is what each side spends).

Usage: bench/compare_rotate.py BUILD_DIR/bench/revimora-bench [repetitions]
"""
import json
import statistics
import subprocess
import sys
import time

from PIL import Image

WIDTH, HEIGHT = 6000, 4000


def picture_bytes():
    """Byte i of row y is (7 i + 13 y) mod 256, as in rotate_bench.cpp."""
    row_bytes = WIDTH * 3
    base = bytes((7 * i) & 255 for i in range(row_bytes + 256))
    # 183 is the inverse of 7 modulo 256: row y is the base shifted by k.
    return b"".join(base[(13 * y * 183) & 255:][:row_bytes] for y in range(HEIGHT))


def pillow_ms(repetitions):
    image = Image.frombytes("RGB", (WIDTH, HEIGHT), picture_bytes())
    times = []
    for _ in range(repetitions):
        start = time.thread_time()
        turned = image.transpose(Image.Transpose.ROTATE_270)
        times.append((time.thread_time() - start) * 1000)
        assert turned.size == (HEIGHT, WIDTH)
    return statistics.median(times)


def revimora_ms(bench, repetitions):
    out = subprocess.run(
        [bench, "--benchmark_filter=^(RotateMemcpy|CopyIntoFreshPicture|QuarterTurnIntoReusedPicture|RotateMinus90|"
         "PictureProcRotateMinus90)",
         "--benchmark_format=json", f"--benchmark_repetitions={repetitions}",
         "--benchmark_report_aggregates_only=true"],
        check=True, capture_output=True, text=True).stdout
    results = {}
    for b in json.loads(out)["benchmarks"]:
        if b.get("aggregate_name") == "median":
            results[b["run_name"]] = b["cpu_time"]  # milliseconds (kMillisecond)
    return results


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    repetitions = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    ours = revimora_ms(sys.argv[1], repetitions)
    pillow = pillow_ms(repetitions)
    memcpy = ours["RotateMemcpy"]
    rows = [
        ("memcpy of the 72 MB", memcpy),
        ("copy into a new picture (fresh pages)", ours["CopyIntoFreshPicture"]),
        ("quarter turn into an existing picture", ours["QuarterTurnIntoReusedPicture"]),
        ("RotateBitmap(-90) (new picture)", ours["RotateMinus90"]),
        ("TPictureProc::Rotate(-90), no undo", ours["PictureProcRotateMinus90/0"]),
        ("TPictureProc::Rotate(-90), undo copy in a temporary file", ours["PictureProcRotateMinus90/1"]),
        ("Pillow transpose(ROTATE_270)", pillow),
    ]
    print("| operation (6000 x 4000, 24-bit) | CPU ms (median) | rate vs memcpy | time vs Pillow |")
    print("|---|---|---|---|")
    for name, ms in rows:
        print(f"| {name} | {ms:.1f} | {memcpy / ms:.0%} | {ms / pillow:.2f} |")


if __name__ == "__main__":
    main()
