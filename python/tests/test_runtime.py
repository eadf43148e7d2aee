"""How a smoothing shares the process: the GIL is released while it works,
calls from several threads at once give the same results, and the progress
line is drawn only when asked for."""

import os
import pty
import select
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np

import dispsmooth

# Colour noise: nothing can be settled early, so a smoothing takes a while.
NOISE = np.random.default_rng(7)
REFERENCE = NOISE.integers(0, 256, (300, 300, 3), dtype=np.uint8)
DISPARITY = NOISE.integers(0, 256, (300, 300), dtype=np.uint8)


def test_other_python_threads_run_during_a_smoothing():
    results = {}

    def work():
        started = time.monotonic()
        results["map"] = dispsmooth.smooth(REFERENCE, DISPARITY, 8, 9.0, 20.0, threads=1)
        results["seconds"] = time.monotonic() - started

    worker = threading.Thread(target=work)
    # Hand the GIL over often, so that a thread that never gives it back
    # shows up as a main loop that stands still.
    interval = sys.getswitchinterval()
    sys.setswitchinterval(0.001)
    try:
        worker.start()
        laps = 0
        while worker.is_alive():
            laps += 1
            time.sleep(0.001)
        worker.join()
    finally:
        sys.setswitchinterval(interval)
    # About one lap per 1-2 ms while the smoothing ran, fewer on a busy
    # machine; holding the GIL would allow one or two in all.
    assert results["seconds"] > 0.05
    assert laps >= max(10, 0.05 * results["seconds"] / 0.002), (laps, results["seconds"])


def test_calls_from_several_threads_at_once_agree():
    expected = dispsmooth.smooth(REFERENCE[:150], DISPARITY[:150], 6, 9.0, 20.0)
    results = [None] * 4

    def work(k):
        results[k] = dispsmooth.smooth(REFERENCE[:150], DISPARITY[:150], 6, 9.0, 20.0,
                                       threads=1 + k % 2)

    workers = [threading.Thread(target=work, args=(k,)) for k in range(4)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    for result in results:
        np.testing.assert_array_equal(result, expected)


def stderr_on_a_terminal(progress):
    """Runs one long smoothing in a child whose standard error is a terminal
    and returns what appeared there."""
    script = textwrap.dedent(f"""
        import numpy as np, dispsmooth
        rng = np.random.default_rng(7)
        ref = rng.integers(0, 256, (700, 700, 3), dtype=np.uint8)
        disp = rng.integers(0, 256, (700, 700), dtype=np.uint8)
        dispsmooth.smooth(ref, disp, 15, 9.0, 20.0, threads=1, progress={progress})
        print("done")
    """)
    master, slave = pty.openpty()
    child = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE,
                             stderr=slave, env=os.environ)
    os.close(slave)
    seen = b""
    while True:
        ready, _, _ = select.select([master], [], [], 120)
        if not ready:
            break
        try:
            chunk = os.read(master, 4096)
        except OSError:  # the child closed the terminal
            break
        if not chunk:
            break
        seen += chunk
    os.close(master)
    out, _ = child.communicate(timeout=120)
    assert child.returncode == 0 and out == b"done\n", seen
    return seen.decode()


def test_progress_line_only_when_asked_for():
    assert stderr_on_a_terminal(False) == ""
    drawn = stderr_on_a_terminal(True)
    # The tool's indicator: redrawn in place, then erased.
    assert "\rsmoothing: " in drawn and "% of rows, about " in drawn, drawn
    assert drawn.endswith("\r\x1b[K"), drawn
