"""The package around the compiled module: what it needs to import, and
its type information."""

import ast
import os
import pathlib
import subprocess
import sys
import textwrap

import dispsmooth

PACKAGE = pathlib.Path(dispsmooth.__file__).parent


def run_python(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=120, env=os.environ)


def test_the_package_works_without_dask_and_its_dask_part_says_what_is_missing():
    # None in sys.modules makes any import of dask fail, as where it is not
    # installed.
    done = run_python("""
        import sys
        sys.modules["dask"] = None
        import numpy as np
        import dispsmooth
        out = dispsmooth.smooth(np.zeros((4, 5, 3), np.uint8), np.ones((4, 5), np.uint8),
                                1, 9.0, 20.0)
        assert (out == 1).all()
        try:
            import dispsmooth.dask
        except ImportError as e:
            print(e)
        else:
            print("imported")
    """)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("dispsmooth.dask needs dask (Debian: python3-dask"), done.stdout


def test_the_type_stub_declares_every_public_name():
    assert (PACKAGE / "py.typed").is_file()
    stub = ast.parse((PACKAGE / "__init__.pyi").read_text())
    declared = {node.name for node in stub.body if isinstance(node, ast.FunctionDef)}
    declared |= {node.target.id for node in stub.body if isinstance(node, ast.AnnAssign)}
    assert declared == set(dispsmooth.__all__) | {"__version__"}

