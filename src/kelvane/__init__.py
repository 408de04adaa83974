"""kelvane: earthquake-precursor observation time series.

Fetch observations from the precursor database, clean and post-process them,
plot them with the nearby earthquakes and export them as VELD files. The
modules are compiled extension modules, loaded on first use.
"""

import importlib
import importlib.machinery
import os

__version__ = "0.1.0"


def _compiled_modules():
    # The build (CMakeLists.txt) names the modules; here they are the
    # extension files this interpreter can load from the package's folder.
    names = set()
    for entry in os.listdir(os.path.dirname(__file__)):
        for suffix in importlib.machinery.EXTENSION_SUFFIXES:
            if entry.endswith(suffix) and entry[: -len(suffix)].isidentifier():
                names.add(entry[: -len(suffix)])
    return tuple(sorted(names))


_MODULES = _compiled_modules()

__all__ = list(_MODULES)


def __getattr__(name):
    if name in _MODULES:
        return importlib.import_module(f"{__name__}.{name}")
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
