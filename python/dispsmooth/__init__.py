# The package dispsmooth: every public name of the compiled module
# dispsmooth._core, re-exported here unchanged, with the core's docstring
# and version.  dispsmooth.dask (importable where dask is installed) smooths
# dask arrays and sequences of frames on dask's workers; it is imported only
# when asked for, so that the package needs nothing beyond numpy.

from dispsmooth import _core
from dispsmooth._core import *  # noqa: F401,F403

__doc__ = _core.__doc__
__version__: str = _core.__version__
__all__ = [name for name in dir(_core) if not name.startswith("_")]
