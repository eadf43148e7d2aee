"""pip builds the package from a clean copy of the repository, offline, in
a virtual environment that sees Debian's packages: first a wheel, then an
installation, which is imported from outside the repository."""

import importlib.util
import os
import pathlib
import shutil
import subprocess
import sys
import textwrap
import zipfile

import pytest

from conftest import SOURCE_DIR

if importlib.util.find_spec("ensurepip") is None:
    pytest.skip("python3-venv is not installed: no virtual environment to install into",
                allow_module_level=True)

PIP = ["--no-build-isolation", "--no-deps", "--no-index", "--no-cache-dir"]


def copy_repository(destination):
    """The repository's files as git tracks them (their working copies),
    or, without git, everything but build trees."""
    try:
        listed = subprocess.run(["git", "-C", str(SOURCE_DIR), "ls-files", "-z"],
                                capture_output=True, check=True, timeout=60).stdout
    except (OSError, subprocess.CalledProcessError):
        shutil.copytree(SOURCE_DIR, destination, ignore=shutil.ignore_patterns(
            ".git", "build", "build-*", "dist", "*.egg-info", "__pycache__"))
        return
    for name in listed.decode().split("\0"):
        if name and (SOURCE_DIR / name).is_file():
            (destination / name).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(SOURCE_DIR / name, destination / name)


def run(command, cwd, env):
    done = subprocess.run([str(c) for c in command], cwd=cwd, env=env, capture_output=True,
                          text=True, timeout=1500)
    assert done.returncode == 0, f"{command} failed:\n{done.stdout}\n{done.stderr}"
    return done.stdout


def test_pip_wheel_and_pip_install_in_a_fresh_virtual_environment(tmp_path):
    source = tmp_path / "dispsmooth"
    source.mkdir()
    copy_repository(source)
    env = {k: v for k, v in os.environ.items() if not k.startswith(("PYTHON", "PIP_"))}
    env["PIP_DISABLE_PIP_VERSION_CHECK"] = "1"
    env.setdefault("CMAKE_BUILD_PARALLEL_LEVEL", str(os.cpu_count() or 1))
    venv = tmp_path / "venv"
    run([sys.executable, "-m", "venv", "--system-site-packages", venv], tmp_path, env)
    pip = venv / "bin" / "pip"

    run([pip, "wheel", *PIP, "-w", tmp_path / "wheels", "."], source, env)
    wheels = list((tmp_path / "wheels").glob("dispsmooth-*.whl"))
    assert len(wheels) == 1, wheels
    names = set(zipfile.ZipFile(wheels[0]).namelist())
    for name in ("__init__.py", "__init__.pyi", "py.typed", "dask.py"):
        assert f"dispsmooth/{name}" in names, sorted(names)
    assert any(n.startswith("dispsmooth/_core.") and n.endswith(".so") for n in names), names

    # The second build reuses the first one's CMake tree.
    run([pip, "install", *PIP, "."], source, env)
    outside = tmp_path / "elsewhere"
    outside.mkdir()
    report = run([venv / "bin" / "python", "-c", textwrap.dedent("""
        import importlib.metadata, importlib.util, pathlib
        import numpy as np
        import dispsmooth
        package = pathlib.Path(dispsmooth.__file__).parent
        print(package)
        assert importlib.metadata.version("dispsmooth") == dispsmooth.__version__
        assert (package / "__init__.pyi").is_file() and (package / "py.typed").is_file()
        reference = np.zeros((6, 7, 3), np.uint8)
        disparity = np.full((6, 7), 9, np.uint8)
        assert (dispsmooth.smooth(reference, disparity, 2, 9.0, 20.0) == 9).all()
        if importlib.util.find_spec("dask") is not None:
            import dispsmooth.dask
            tiles = dispsmooth.dask.smooth(reference, disparity, 2, 9.0, 20.0, chunks=3)
            assert (tiles.compute(scheduler="sync") == 9).all()
        """)], outside, env)
    assert pathlib.Path(report.strip()).is_relative_to(venv), report
    shutil.rmtree(tmp_path, ignore_errors=True)
