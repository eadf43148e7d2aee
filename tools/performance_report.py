#!/usr/bin/python3
"""Runs the benchmarks and rewrites the generated part of docs/performance.md.

  tools/performance_report.py [--build DIR] [--doc PATH] [--stdout]
                              [--benchmark-filter REGEX] [--peer-radii R,R,...]
                              [--peer-repeats N] [--no-memory] [--no-peer]

Runs, from the Release build directory DIR (default build/release),

  - bench/bench_smoothing (with Aloe, its map made here with OpenCV's block
    matcher as in bench/peer_comparison.py), its results also written as
    Google Benchmark JSON (--benchmark_out), only the benchmarks matching
    REGEX when given;
  - bench/bench_peak_memory;
  - bench/peer_comparison.py with DIR's dispsmooth executable, at sigma_space 9 and at
    sigma_space equal to the radius;

each printing as it runs, then replaces the lines between the marker lines
"<!-- make bench: begin -->" and "<!-- make bench: end -->" of PATH (default
docs/performance.md) with their tables, and leaves every other line as it
is.  The generated part begins with the date, the machine (processor model,
core count, memory) and the commit (git rev-parse --short HEAD, "-dirty"
when tracked files other than PATH differ from it), then the load average
at the start and the options that left benchmarks out.  --stdout prints the
generated part instead of writing PATH.

Exits with status 1, PATH untouched, when a benchmark fails, or when PATH
lacks exactly one pair of marker lines (checked before anything runs); 2
on bad arguments.
"""
import argparse
import datetime
import json
import os
import re
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
BEGIN = "<!-- make bench: begin -->"
END = "<!-- make bench: end -->"
PYTHON = "/usr/bin/python3"


def parse_args():
    parser = argparse.ArgumentParser(
        description="Run the benchmarks and rewrite the generated part of docs/performance.md.")
    parser.add_argument("--build", default=os.path.join(REPO, "build", "release"),
                        help="Release build directory (default: build/release)")
    parser.add_argument("--doc", default=os.path.join(REPO, "docs", "performance.md"),
                        help="file to rewrite between its marker lines")
    parser.add_argument("--stdout", action="store_true",
                        help="print the generated part instead of rewriting the file")
    parser.add_argument("--benchmark-filter", help="run only the bench_smoothing benchmarks "
                        "matching this regular expression")
    parser.add_argument("--peer-radii", help="radii of peer_comparison.py (its --radii)")
    parser.add_argument("--peer-repeats", type=int, help="peer_comparison.py's --repeats")
    parser.add_argument("--no-memory", action="store_true", help="leave bench_peak_memory out")
    parser.add_argument("--no-peer", action="store_true", help="leave peer_comparison.py out")
    return parser.parse_args()


# The document: its lines before, between and after the markers.

def split_document(path):
    """(head, tail): the lines up to the begin marker and from the end marker on."""
    with open(path, encoding="utf-8") as f:
        lines = f.read().splitlines(keepends=True)
    begins = [i for i, line in enumerate(lines) if line.strip() == BEGIN]
    ends = [i for i, line in enumerate(lines) if line.strip() == END]
    if len(begins) != 1 or len(ends) != 1 or ends[0] < begins[0]:
        raise ValueError("%s: needs one line %s followed by one line %s (found %d and %d)"
                         % (path, BEGIN, END, len(begins), len(ends)))
    return lines[:begins[0] + 1], lines[ends[0]:]


def write_document(path, head, body, tail):
    text = "".join(head) + body + "".join(tail)
    directory = os.path.dirname(os.path.abspath(path))
    with tempfile.NamedTemporaryFile("w", encoding="utf-8", dir=directory, delete=False,
                                     prefix=".performance-", suffix=".md") as f:
        f.write(text)
        temporary = f.name
    os.chmod(temporary, os.stat(path).st_mode & 0o777)
    os.replace(temporary, path)


# What the report says it ran on.

def command_output(args, cwd=None):
    try:
        run = subprocess.run(args, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                             text=True, env=dict(os.environ, LC_ALL="C"))
    except OSError:
        return None
    return run.stdout if run.returncode == 0 else None


def processor():
    """(model, cores, logical CPUs), from lscpu or else /proc/cpuinfo."""
    model, cores = None, None
    logical = os.cpu_count()
    fields = {}
    for line in (command_output(["lscpu"]) or "").splitlines():
        key, _, value = line.partition(":")
        fields[key.strip()] = value.strip()
    model = fields.get("Model name")
    try:
        cores = int(fields["Core(s) per socket"]) * int(fields["Socket(s)"])
        logical = int(fields["CPU(s)"])
    except (KeyError, ValueError):
        pass
    if model is None or cores is None:
        physical = set()
        try:
            with open("/proc/cpuinfo") as f:
                block = {}
                for line in list(f) + [""]:
                    key, _, value = line.partition(":")
                    if key.strip():
                        block[key.strip()] = value.strip()
                        continue
                    if block:
                        model = model or block.get("model name")
                        if "physical id" in block and "core id" in block:
                            physical.add((block["physical id"], block["core id"]))
                    block = {}
        except OSError:
            pass
        if cores is None and physical:
            cores = len(physical)
    return model or "unknown processor", cores, logical


def memory_gib():
    try:
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemTotal:"):
                    return int(line.split()[1]) / (1024.0 * 1024.0)
    except (OSError, ValueError, IndexError):
        pass
    return None


def commit(doc):
    head = command_output(["git", "rev-parse", "--short", "HEAD"], cwd=REPO)
    if head is None:
        return "unknown (not a git work tree)"
    paths = ["--", "."]
    doc = os.path.realpath(doc)
    if doc.startswith(os.path.realpath(REPO) + os.sep):
        # The report itself does not make the tree it describes dirty.
        paths.append(":(exclude)" + os.path.relpath(doc, os.path.realpath(REPO)))
    status = command_output(["git", "status", "--porcelain", "--untracked-files=no"] + paths,
                            cwd=REPO)
    return head.strip() + ("-dirty" if status is None or status.strip() else "")


def load_average():
    try:
        with open("/proc/loadavg") as f:
            return " ".join(f.read().split()[:3])
    except OSError:
        return None


def context_lines(args):
    model, cores, logical = processor()
    machine = model
    if cores is not None:
        machine += ", %d core%s" % (cores, "" if cores == 1 else "s")
        if logical and logical != cores:
            machine += " (%d logical CPUs)" % logical
    elif logical:
        machine += ", %d logical CPUs" % logical
    memory = memory_gib()
    if memory is not None:
        machine += ", %.1f GiB of memory" % memory
    now = datetime.datetime.now(datetime.timezone.utc)
    lines = ["Generated by `make bench` on %s at %s UTC on %s; commit %s."
             % (now.strftime("%Y-%m-%d"), now.strftime("%H:%M"), machine, commit(args.doc))]
    details = []
    load = load_average()
    if load:
        details.append("load average %s at the start" % load)
    if args.benchmark_filter:
        details.append("only the bench_smoothing benchmarks matching `%s`" % args.benchmark_filter)
    if args.peer_radii:
        details.append("peer comparison at radii %s only" % args.peer_radii)
    if args.peer_repeats:
        details.append("peer timings best of %d" % args.peer_repeats)
    if args.no_memory:
        details.append("no peak memory run")
    if args.no_peer:
        details.append("no peer comparison")
    if details:
        lines.append(details[0][0].upper() + "; ".join(details)[1:] + ".")
    return lines


# Running the benchmarks.

def run_echoed(args, capture):
    """Runs args, passing its output on; returns (status, captured text).

    capture names the stream ("stdout" or "stderr") that is also kept."""
    print("+ " + " ".join(args), flush=True)
    pipe = {capture: subprocess.PIPE}
    try:
        process = subprocess.Popen(args, text=True, bufsize=1, **pipe)
    except OSError as e:
        print("performance_report: cannot run %s: %s" % (args[0], e), file=sys.stderr)
        return 127, ""
    echo = sys.stdout if capture == "stdout" else sys.stderr
    kept = []
    for line in getattr(process, capture):
        echo.write(line)
        echo.flush()
        kept.append(line)
    return process.wait(), "".join(kept)


# The tables.

def table(header, rows, text=(0,)):
    """A Markdown table: the columns numbered in text to the left, figures to the right."""
    lines = ["| " + " | ".join(header) + " |",
             "|" + "|".join(":---" if i in text else "---:" for i in range(len(header))) + "|"]
    lines += ["| " + " | ".join(row) + " |" for row in rows]
    return lines


def milliseconds(entry):
    scale = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}[entry.get("time_unit", "ns")]
    return entry["real_time"] * scale


def fmt(value, digits):
    return "–" if value is None else "%.*f" % (digits, value)


def ratio(a, b):
    return None if a is None or b is None or b == 0 else a / b


# Debian's Google Benchmark package says this of itself.
DEBUG_LIBRARY = " (the benchmark library's own build; the code timed is the Release build)"

SMOOTH = re.compile(r"^smooth/(?P<scene>[^/]+)/radius:(?P<radius>\d+)/"
                    r"(?:reference|fast/threads:(?P<threads>\d+))(?:/|$)")
PREFILTER = re.compile(r"^prefilter_3x3/(?:reference|fast/threads:(?P<threads>\d+))(?:/|$)")


def smoothing_section(results, notes):
    """The tables of bench_smoothing's JSON results."""
    runs = [b for b in results.get("benchmarks", []) if b.get("run_type", "iteration") == "iteration"
            and "error_occurred" not in b]
    scenes = {}   # scene -> radius -> kind (0 = straightforward, else threads) -> entry
    prefilter = {}
    for b in runs:
        name = b.get("run_name", b["name"])
        m = SMOOTH.match(name)
        if m:
            kind = int(m.group("threads") or 0)
            scenes.setdefault(m.group("scene"), {}).setdefault(int(m.group("radius")), {}) \
                .setdefault(kind, b)
            continue
        m = PREFILTER.match(name)
        if m:
            prefilter.setdefault(int(m.group("threads") or 0), b)
    lines = ["**Smoothing** (`bench_smoothing`): the straightforward evaluation against the fast "
             "one, sigma_space 9, sigma_color 20.  Times are the wall-clock time of one "
             "smoothing; s/MP is seconds per megapixel (the straightforward evaluation of the "
             "generated scenes runs on their top-left 500 x 500 at radius 9 and 250 x 250 at "
             "radius 15); speed-up is straightforward over fast at 1 thread, per megapixel; "
             "settled is the share of pixels the fast smoothing settles without the exact "
             "path, first pass the share its first pass settles alone."]
    if notes:
        lines += [""] + ["- " + n + (DEBUG_LIBRARY if "built as DEBUG" in n else "") for n in notes]
    if not scenes:
        lines += ["", "No smoothing benchmark ran."]
    for scene, radii in scenes.items():
        megapixels = None
        for kinds in radii.values():
            for kind, b in kinds.items():
                if kind and b.get("MP/s"):
                    megapixels = b["MP/s"] * milliseconds(b) / 1e3
        title = "*%s*" % scene
        if megapixels:
            title += " (%.2f MP)" % megapixels
        rows = []
        for radius in sorted(radii):
            kinds = radii[radius]
            ref, one, two = kinds.get(0), kinds.get(1), kinds.get(2)
            per_mp = {k: b.get("s/MP") for k, b in kinds.items()}

            def summed(b, radius):
                # Window pixels summed per output pixel (1 thread), as a
                # share of the (2 radius + 1)^2 of a whole window.
                if not b or "summed/px" not in b:
                    return "–"
                return fmt(100.0 * b["summed/px"] / (2 * radius + 1) ** 2, 0) + " %"

            def settled(key):
                values = [fmt(b[key], 1) + " %" for b in (one, two) if b and key in b]
                return " / ".join(dict.fromkeys(values)) or "–"

            rows.append([str(radius),
                         fmt(per_mp.get(0), 3),
                         fmt(milliseconds(one), 1) if one else "–",
                         fmt(milliseconds(two), 1) if two else "–",
                         fmt(per_mp.get(1), 4),
                         fmt(ratio(per_mp.get(0), per_mp.get(1)), 1),
                         fmt(ratio(milliseconds(one) if one else None,
                                   milliseconds(two) if two else None), 2),
                         settled("settled%"), settled("first%"), summed(one, radius)])
        lines += ["", title + ":", ""]
        lines += table(["radius", "straightforward s/MP", "fast 1 thread ms", "fast 2 threads ms",
                        "fast 1 thread s/MP", "speed-up", "2-thread gain", "settled",
                        "first pass", "summed / window"], rows)
    if prefilter:
        rows = []
        for kind in sorted(prefilter):
            b = prefilter[kind]
            rows.append(["straightforward, channel by channel" if kind == 0 else
                         "fast, into the packed guide, %d thread%s" % (kind, "" if kind == 1 else "s"),
                         fmt(milliseconds(b), 2), fmt(b.get("MP/s"), 1)])
        lines += ["", "*3x3 prefilter of the three colour channels* (natural scene):", ""]
        lines += table(["", "ms", "MP/s"], rows)
    return lines


MEMORY_HEAD = re.compile(r"^\d+ x \d+ .*threads?$")
MEMORY_ROW = re.compile(r"^(?P<routine>\w+):\s+\+\s*(?P<mib>[\d.]+) MiB peak\s+\((?P<time>[^)]*)\)"
                        r"(?:, (?P<note>.*))?$")


def memory_section(output):
    lines = output.strip().splitlines()
    rows, other, head = [], [], None
    for line in lines:
        m = MEMORY_ROW.match(line.strip())
        if m:
            rows.append(["`%s`" % m.group("routine"), "+%s MiB" % m.group("mib"), m.group("time"),
                         m.group("note") or ""])
        elif head is None and MEMORY_HEAD.match(line.strip()):
            head = line.strip()
        elif line.strip():
            other.append(line)
    title = "**Peak memory** (`bench_peak_memory`)"
    if not rows or other:
        # Not the lines this report knows: shown as they are.
        return [title + ":", "", "```"] + lines + ["```"]
    return ([title + ", growth of the peak resident set over the inputs and outputs: %s:" % head,
             ""] + table(["routine", "peak growth", "time", "note"], rows, text=(0, 2, 3)))


PEER_ROW = re.compile(r"^(?P<scene>\S+)\s+(?P<radius>\d+)\s+(?P<cv>[\d.]+)\s+(?P<t1>[\d.]+)\s+"
                      r"(?P<ratio>[\d.]+)\s+(?P<t2>[\d.]+)\s+(?P<gain>[\d.]+)\s+"
                      r"(?P<ours>[\d.]+)%\s+(?P<theirs>[\d.]+)%$")
PEER_SCENE = re.compile(r"^(?P<scene>\S+) \((?P<size>\d+ x \d+)\): noisy map bad (?P<bad>[\d.]+) %$")


def peer_section(output):
    rows, scenes, notes = [], [], []
    for line in output.splitlines():
        text = line.strip()
        if not text or text.startswith("scene "):
            continue
        m = PEER_ROW.match(text)
        if m:
            g = m.groupdict()
            rows.append([g["scene"], g["radius"], g["cv"], g["t1"], g["ratio"], g["t2"], g["gain"],
                         g["ours"] + " %", g["theirs"] + " %"])
            continue
        m = PEER_SCENE.match(text)
        if m:
            scenes.append("%s (%s) %s %%" % (m.group("scene"), m.group("size"), m.group("bad")))
            continue
        notes.append(line.rstrip())
    lines = ["**Against OpenCV's weighted median filter** (`bench/peer_comparison.py`):", ""]
    # Its own lines on what the figures are, one item each.
    lines += ["- " + n.strip() for n in notes]
    if scenes:
        lines += ["", "Bad pixels of the noisy maps: " + ", ".join(scenes) + "."]
    if rows:
        lines += [""] + table(["scene", "radius", "OpenCV 1 thread s", "dispsmooth 1 thread s",
                               "ratio", "dispsmooth 2 threads s", "2-thread gain",
                               "bad, dispsmooth", "bad, OpenCV"], rows)
    return lines


def aloe_scene(folder):
    """Aloe as bench_smoothing reads a scene (left.png, disp_noisy.png) in
    folder, its map made by OpenCV's block matcher as in peer_comparison.py;
    None (with a note on standard error) without OpenCV or the test data."""
    stereo = os.path.join(os.path.dirname(REPO), "shared", "testdata", "stereo", "aloe")
    if not all(os.path.isfile(os.path.join(stereo, f)) for f in ("left.jpg", "right.jpg")):
        print("performance_report: no Aloe images at %s: bench_smoothing runs without Aloe"
              % stereo, file=sys.stderr)
        return None
    sys.path.insert(0, os.path.join(REPO, "bench"))
    try:
        import cv2
        import numpy as np
        import peer_comparison
    except ImportError as e:
        print("performance_report: %s: bench_smoothing runs without Aloe" % e, file=sys.stderr)
        return None
    left = peer_comparison.read_image(cv2, os.path.join(stereo, "left.jpg"), cv2.IMREAD_COLOR)
    right = peer_comparison.read_image(cv2, os.path.join(stereo, "right.jpg"), cv2.IMREAD_COLOR)
    os.makedirs(folder, exist_ok=True)
    if not (cv2.imwrite(os.path.join(folder, "left.png"), left) and
            cv2.imwrite(os.path.join(folder, "disp_noisy.png"),
                        peer_comparison.block_matcher_map(cv2, np, left, right))):
        print("performance_report: cannot write Aloe's scene in %s" % folder, file=sys.stderr)
        return None
    return folder


def main():
    args = parse_args()
    build = os.path.abspath(args.build)
    smoothing = os.path.join(build, "bench", "bench_smoothing")
    peak = os.path.join(build, "bench", "bench_peak_memory")
    exe = os.path.join(build, "dispsmooth")
    needed = [smoothing, exe] + ([] if args.no_memory else [peak])
    missing = [p for p in needed if not os.access(p, os.X_OK)]
    if missing:
        print("performance_report: not built: %s (make bench-build)" % ", ".join(missing),
              file=sys.stderr)
        return 1
    head = tail = None
    if not args.stdout:
        # Before minutes of benchmarks, not after.
        try:
            head, tail = split_document(args.doc)
        except (OSError, ValueError) as e:
            print("performance_report: %s" % e, file=sys.stderr)
            return 1

    context = context_lines(args)
    failed = []
    with tempfile.TemporaryDirectory(prefix="dispsmooth-bench-") as work:
        json_path = os.path.join(work, "bench_smoothing.json")
        command = [smoothing, "--benchmark_counters_tabular=true",
                   "--benchmark_out=" + json_path, "--benchmark_out_format=json"]
        aloe = aloe_scene(os.path.join(work, "aloe"))
        if aloe:
            command.append("--scene=aloe:" + aloe)
        if args.benchmark_filter:
            command.append("--benchmark_filter=" + args.benchmark_filter)
        status, errors = run_echoed(command, "stderr")
        results = {}
        if status != 0:
            failed.append("bench_smoothing (status %d)" % status)
        else:
            try:
                with open(json_path) as f:
                    results = json.load(f)
            except (OSError, ValueError) as e:
                failed.append("bench_smoothing's JSON: %s" % e)
    # What bench_smoothing says besides the timings: how spread the maps
    # are, which scenes it skipped, the benchmark library's warnings.
    notes = [line.strip() for line in errors.splitlines()
             if line.startswith(("Mean distinct", "bench_smoothing:")) or "WARNING" in line]

    memory = None
    if not args.no_memory and not failed:
        status, memory = run_echoed([peak], "stdout")
        if status != 0:
            failed.append("bench_peak_memory (status %d)" % status)

    # The peer at sigma_space 9, then with sigma_space equal to the radius.
    peers = []
    for sigma_space in ([] if args.no_peer else ["9", "radius"]):
        if failed:
            break
        command = [PYTHON, os.path.join(REPO, "bench", "peer_comparison.py"), "--exe", exe,
                   "--sigma-space", sigma_space]
        if args.peer_radii:
            command += ["--radii", args.peer_radii]
        if args.peer_repeats:
            command += ["--repeats", str(args.peer_repeats)]
        status, peer = run_echoed(command, "stdout")
        if status != 0:
            failed.append("peer_comparison.py --sigma-space %s (status %d)" % (sigma_space, status))
        peers.append(peer)

    if failed:
        print("performance_report: failed: %s; %s left as it was"
              % ("; ".join(failed), args.doc), file=sys.stderr)
        return 1

    # Blank lines beside the markers keep the tables apart from the comments.
    lines = [""] + context + [""] + smoothing_section(results, notes)
    if memory is not None:
        lines += [""] + memory_section(memory)
    for peer in peers:
        lines += [""] + peer_section(peer)
    body = "\n".join(lines) + "\n\n"
    if args.stdout:
        sys.stdout.write("\n" + BEGIN + "\n" + body + END + "\n")
        return 0
    write_document(args.doc, head, body, tail)
    print("performance_report: %s rewritten between its marker lines" % args.doc)
    return 0


if __name__ == "__main__":
    sys.exit(main())
