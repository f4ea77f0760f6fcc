#!/usr/bin/env python3
"""Times bytora.exe under Wine against xxd and prints the ratio table.

Every configuration runs once per round and the rounds are interleaved, so a
slow moment of the machine touches all of them alike; each figure is the
median of the rounds. Each tool's old output is deleted before its timed run.
Wine's own start-up (a run on a 20-byte input) is measured the same way,
shown apart and subtracted from bytora's figures: in the host the command
runs inside the shell's own process. A run with those 20 bytes piped to its
standard input is timed against one with them redirected from the file, pair
by pair: what a piped run costs beyond a file run. Output goes to files in a
memory file system when there is one, so that the disk's write-back of one
run does not land in the next.

Memory: the peak of the process's own (anonymous) pages while dumping the
64 MiB input and a 1 GiB input; the mapped input's pages are file pages and
are left out, so the two peaks should agree within 10%.
"""
import argparse
import os
import random
import statistics
import subprocess
import sys
import threading
import time

WORDS = ["hex", "dump", "Grüße", "naïve", "café", "€uro", "日本語", "данные", "λόγος", "plain", "text", "ASCII"]
LATIN = ["hex", "dump", "plain", "text", "ASCII", "bytes", "EBCDIC", "record", "field", "12345"]
CYRILLIC = ["данные", "текст", "байт", "строка", "hex", "dump", "файл", "Привет"]


def text_of(words, size, encoding, seed, prefix=b""):
    rng = random.Random(seed)
    lines = []
    total = len(prefix)
    while total < size:
        line = (" ".join(rng.choices(words, k=12)) + "\n").encode(encoding)
        lines.append(line)
        total += len(line)
    return (prefix + b"".join(lines))[:size]


def make_inputs(work, size):
    paths = {}

    def put(name, data):
        path = os.path.join(work, name)
        with open(path, "wb") as f:
            f.write(data)
        paths[name] = path

    put("random.bin", random.Random(1).randbytes(size))
    put("utf8.txt", text_of(WORDS, size, "utf-8", 7))
    put("utf16le.txt", text_of(WORDS, size - size % 2, "utf-16-le", 8, b"\xff\xfe"))
    put("ebcdic.txt", text_of(LATIN, size, "cp1140", 9))
    put("cp1251.txt", text_of(CYRILLIC, size, "cp1251", 10))
    put("tiny.bin", b"twenty bytes of text")
    return paths


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


def timed(cmd, out_path, feed=None, source=None):
    """Seconds cmd takes. Its standard input: with feed, a pipe that delivers
    those bytes and ends; with source, that file; else the null device."""
    if os.path.exists(out_path):
        os.remove(out_path)
    with open(out_path, "wb") as out, open(source or os.devnull, "rb") as stdin:
        redirect = {"input": feed} if feed is not None else {"stdin": stdin}
        start = time.perf_counter()
        result = subprocess.run(cmd, stdout=out, stderr=subprocess.DEVNULL, **redirect)
        elapsed = time.perf_counter() - start
    if result.returncode != 0:
        sys.exit("bench: %s ended with %d" % (" ".join(cmd), result.returncode))
    return elapsed


PIPE_PAIRS = 21


def pipe_pairs(cmd, path, out_path):
    """Medians of a run that dumps a small file as its standard input and of
    one that gets the same bytes through a pipe (the same dump), and of the
    difference pair by pair: the one figure is a few milliseconds beside a
    start-up a hundred times that, so it takes many pairs, in turn."""
    with open(path, "rb") as f:
        feed = f.read()
    files, pipes, costs = [], [], []
    for r in range(PIPE_PAIRS):
        pair = {}
        for key in (("file", "piped") if r % 2 == 0 else ("piped", "file")):
            pair[key] = timed(cmd, out_path, source=path) if key == "file" else timed(cmd, out_path, feed)
        files.append(pair["file"])
        pipes.append(pair["piped"])
        costs.append(pair["piped"] - pair["file"])
    return {"file": statistics.median(files), "piped": statistics.median(pipes), "cost": statistics.median(costs)}


def peak_own_pages(cmd):
    """Largest RssAnon + RssShmem (KiB) seen while cmd runs, output to /dev/null."""
    proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    peak = 0
    status = "/proc/%d/status" % proc.pid
    while proc.poll() is None:
        try:
            with open(status) as f:
                fields = dict(line.split(":", 1) for line in f if ":" in line)
            own = sum(int(fields.get(k, "0 kB").split()[0]) for k in ("RssAnon", "RssShmem"))
            peak = max(peak, own)
        except (OSError, ValueError):
            pass
        time.sleep(0.005)
    if proc.returncode != 0:
        sys.exit("bench: %s ended with %d" % (" ".join(cmd), proc.returncode))
    return peak


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--work", required=True)
    ap.add_argument("--size", type=int, default=64, help="MiB per input")
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--bytora", required=True)
    args = ap.parse_args()

    size = args.size * 1048576
    paths = make_inputs(args.work, size)
    outdir = "/dev/shm" if os.access("/dev/shm", os.W_OK) else args.work
    out_path = os.path.join(outdir, "bytora-bench-%d.out" % os.getpid())

    def bytora(options, name):
        return ["wine", args.bytora] + options + [windows_path(paths[name])]

    # (label, BYTORA options, input, target as a multiple of xxd's default)
    rows = [("default", [], "random.bin", 4.0), ("default", [], "utf8.txt", 3.5)]
    for option in ["/W", "/D", "/Q", "/3", "/F:O", "/F:D", "/F:S", "/BE /W", "/X", "/U", "/N:T", "/K:32"]:
        rows.append((option, option.split(), "random.bin", 2.0))
    rows += [("default", [], "utf16le.txt", 2.0), ("default", [], "ebcdic.txt", 2.0),
             ("/CP:1251", ["/CP:1251"], "cp1251.txt", 2.0)]

    jobs = [("start-up", bytora([], "tiny.bin"))]
    for name in sorted({r[2] for r in rows}):
        jobs.append(("xxd " + name, ["xxd", paths[name]]))
    for label, options, name, _ in rows:
        jobs.append(("bytora %s %s" % (label, name), bytora(options, name)))

    times = {key: [] for key, _ in jobs}
    try:
        for r in range(args.runs):
            # Each round starts at another job, so no job always follows the same one.
            shift = r * len(jobs) // args.runs
            for key, cmd in jobs[shift:] + jobs[:shift]:
                times[key].append(timed(cmd, out_path))
            print("round %d of %d done" % (r + 1, args.runs), file=sys.stderr)
        piped = pipe_pairs(["wine", args.bytora], paths["tiny.bin"], out_path)
        # The usual alternatives, once each: they take ten times as long as xxd.
        others = {}
        for tool, cmd in [("od", ["od", "-A", "x", "-t", "x1z"]), ("hexdump", ["hexdump", "-C"])]:
            for name in ("random.bin", "utf8.txt"):
                others[(tool, name)] = timed(cmd + [paths[name]], out_path)
    finally:
        if os.path.exists(out_path):
            os.remove(out_path)

    med = {key: statistics.median(v) for key, v in times.items()}
    startup = med["start-up"]
    print("%d MiB inputs, medians of %d interleaved runs, output to a file in %s" % (args.size, args.runs, outdir))
    print("Wine start-up (a run on a 20-byte input): %.3f s, subtracted from bytora's times" % startup)
    print("standard input of 20 bytes piped: %.3f s, from a file: %.3f s; the pipe costs %+.1f ms (median of %d pairs;"
          " target: at most 10 ms)%s" % (piped["piped"], piped["file"], piped["cost"] * 1000, PIPE_PAIRS,
                                         "" if piped["cost"] <= 0.010 else "  above"))
    print()
    print("%-9s %-12s %9s %9s %8s %7s" % ("options", "input", "bytora s", "xxd s", "vs xxd", "target"))
    below = 0
    for label, _, name, target in rows:
        t = med["bytora %s %s" % (label, name)] - startup
        x = med["xxd " + name]
        ratio = x / t if t > 0 else float("inf")
        ok = ratio >= target
        below += not ok
        print("%-9s %-12s %9.3f %9.3f %7.2fx %6.1fx%s" % (label, name, t, x, ratio, target, "" if ok else "  below"))
    print()
    for (tool, name), t in others.items():
        b = med["bytora default " + name] - startup
        print("%-8s %-12s %7.3f s (one run); bytora %.1fx faster" % (tool, name, t, t / b if b > 0 else 0))

    # Memory: the same input sixteen times over makes the large one quickly.
    large = os.path.join(args.work, "large.bin")
    with open(large, "wb") as f, open(paths["random.bin"], "rb") as src:
        block = src.read()
        for _ in range(max(1, 1024 // args.size)):
            f.write(block)
    small_peak = peak_own_pages(bytora([], "random.bin"))
    large_peak = peak_own_pages(["wine", args.bytora, windows_path(large)])
    os.remove(large)
    spread = abs(large_peak - small_peak) / small_peak * 100 if small_peak else 0
    print()
    print("peak own memory: %d KiB for %d MiB, %d KiB for %d MiB (%.1f%% apart; target within 10%%)"
          % (small_peak, args.size, large_peak, max(1, 1024 // args.size) * args.size, spread))
    print("%d row(s) below target" % below)


if __name__ == "__main__":
    main()
