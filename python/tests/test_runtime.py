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
        # Radius 15: a call of a fifth of a second or so, well beyond the
        # 0.05 s this test needs to tell a held GIL from a released one.
        results["map"] = dispsmooth.smooth(REFERENCE, DISPARITY, 15, 9.0, 20.0, threads=1)
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


def run_python(code, timeout, **kwargs):
    """Runs code in a fresh interpreter that imports this module as the tests
    do; returns the finished process."""
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=timeout, env=dict(os.environ), **kwargs)


# A child forked after the parent smoothed with two threads (os.fork, and
# multiprocessing with each start method) smooths, with threads of its own,
# to the parent's result.
def test_a_forked_child_smooths_as_its_parent(tmp_path):
    # A file of its own, so that the start methods that import the main
    # module (spawn, forkserver) find the workers' function.
    script = tmp_path / "fork_children.py"
    script.write_text(textwrap.dedent("""
        import multiprocessing, os
        import numpy as np, dispsmooth as ds
        rng = np.random.default_rng(3)
        r = rng.integers(0, 256, (400, 400, 3), np.uint8)
        d = rng.integers(0, 256, (400, 400), np.uint8)

        def child(threads):
            return ds.smooth(r, d, 5, 9.0, 20.0, threads=threads).tobytes()

        if __name__ == "__main__":
            parent = ds.smooth(r, d, 5, 9.0, 20.0, threads=2)
            pid = os.fork()
            if pid == 0:
                ok = ds.smooth(r, d, 5, 9.0, 20.0, threads=2).tobytes() == parent.tobytes()
                os._exit(0 if ok else 3)
            _, status = os.waitpid(pid, 0)
            assert os.waitstatus_to_exitcode(status) == 0, status
            for method in ("fork", "forkserver", "spawn"):
                with multiprocessing.get_context(method).Pool(2) as pool:
                    got = pool.map(child, [1, 2])
                assert got == [parent.tobytes()] * 2, method
            print("ok")
    """))
    done = subprocess.run([sys.executable, str(script)], capture_output=True, text=True,
                          timeout=120, cwd=tmp_path, env=dict(os.environ))
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "ok"


# 256 threads asked for with room for a handful of thread stacks: the call
# goes on with the threads it could start and gives the same result; the
# interpreter is not ended.
def test_threads_that_cannot_be_created_are_done_without():
    done = run_python("""
        import resource
        import numpy as np, dispsmooth as ds
        rng = np.random.default_rng(5)
        r = rng.integers(0, 256, (500, 500, 3), np.uint8)
        d = rng.integers(0, 256, (500, 500), np.uint8)
        expected = ds.smooth(r, d, 4, 9.0, 20.0, threads=1)
        with open("/proc/self/status") as status:
            vm = next(int(l.split()[1]) for l in status if l.startswith("VmSize:")) * 1024
        resource.setrlimit(resource.RLIMIT_AS, (vm + (96 << 20), vm + (96 << 20)))
        got = ds.smooth(r, d, 4, 9.0, 20.0, threads=256)
        assert (got == expected).all()
        print("ok")
    """, timeout=240)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "ok"


# Ctrl-C 1 s into a call of many seconds raises KeyboardInterrupt within
# half a second, with the arguments unchanged.
def test_ctrl_c_stops_a_smoothing_within_half_a_second():
    child = subprocess.Popen([sys.executable, "-c", textwrap.dedent("""
        import sys, time
        import numpy as np, dispsmooth as ds
        rng = np.random.default_rng(11)
        r = rng.integers(0, 256, (1500, 1500, 3), np.uint8)
        d = rng.integers(0, 256, (1500, 1500), np.uint8)
        before = d.copy()
        print("ready", flush=True)
        try:
            ds.smooth(r, d, 40, 9.0, 20.0)
            print("finished")
        except KeyboardInterrupt:
            print("interrupted", time.monotonic(), (d == before).all(), flush=True)
    """)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=dict(os.environ))
    try:
        assert child.stdout.readline().strip() == "ready"
        time.sleep(1.0)
        sent = time.monotonic()
        child.send_signal(2)
        out, err = child.communicate(timeout=60)
    finally:
        if child.poll() is None:
            child.kill()
    words = out.split()
    assert words[:1] == ["interrupted"], (out, err)
    assert float(words[1]) - sent < 0.5
    assert words[2] == "True"
