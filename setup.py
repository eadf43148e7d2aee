"""Builds the compiled module dispsmooth._core with the project's CMake for
the interpreter that runs pip, and hands it to setuptools beside the
package's Python files (pyproject.toml has the rest).

Environment:
    CMAKE_BUILD_PARALLEL_LEVEL  compile jobs (default: one per processor)
    DISPSMOOTH_CMAKE_ARGS       more arguments for CMake's configure step
"""

import os
import pathlib
import re
import shlex
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = pathlib.Path(__file__).resolve().parent


def project_version():
    """The version in the CMake project() call, which the module reports too."""
    text = (ROOT / "CMakeLists.txt").read_text()
    found = re.search(r"project\(\s*dispsmooth\s+VERSION\s+([0-9]+\.[0-9]+\.[0-9]+)", text)
    if found is None:
        raise RuntimeError("CMakeLists.txt: no project(dispsmooth VERSION x.y.z)")
    return found.group(1)


class CMakeExtension(Extension):
    """An extension module that the CMake target `target` builds."""

    def __init__(self, name, target):
        super().__init__(name, sources=[])
        self.target = target


class CMakeBuild(build_ext):
    """Configures a Release build of only the Python module (no tests, no
    benchmarks) in the build's temporary folder, which later builds reuse,
    builds the extension's target and copies the module where setuptools
    expects it."""

    def build_extension(self, ext):
        if not isinstance(ext, CMakeExtension):
            super().build_extension(ext)
            return
        build_dir = pathlib.Path(self.build_temp).resolve() / "cmake"
        configure = [
            "cmake", "-S", str(ROOT), "-B", str(build_dir),
            "-DCMAKE_BUILD_TYPE=Release",
            f"-DPython3_EXECUTABLE={sys.executable}",
            "-DDISPSMOOTH_PYTHON=ON",
            "-DDISPSMOOTH_BUILD_TESTS=OFF",
            "-DDISPSMOOTH_BUILD_BENCH=OFF",
        ]
        configure += shlex.split(os.environ.get("DISPSMOOTH_CMAKE_ARGS", ""))
        subprocess.run(configure, check=True)
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or str(os.cpu_count() or 1)
        subprocess.run(["cmake", "--build", str(build_dir), "--target", ext.target, "-j", jobs],
                       check=True)

        package_dir = build_dir / "python" / "dispsmooth"
        built = sorted(package_dir.glob("_core.*.so")) or sorted(package_dir.glob("_core.*"))
        if not built:
            raise RuntimeError(f"CMake built no dispsmooth._core in {package_dir}; was the "
                               "module left out (pybind11, the Python headers or numpy missing)?")
        destination = pathlib.Path(self.get_ext_fullpath(ext.name))
        destination.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built[0], destination)


setup(
    version=project_version(),
    ext_modules=[CMakeExtension("dispsmooth._core", target="dispsmooth_python")],
    cmdclass={"build_ext": CMakeBuild},
)
