"""kelvane: earthquake-precursor observation time series.

Fetch observations from the precursor database, clean and post-process them,
plot them with the nearby earthquakes and export them as VELD files. The
modules are compiled extension modules, loaded on first use.
"""

import importlib

__version__ = "0.1.0"

_MODULES = (
    "logsetup",
    "metastash",
    "fetching",
    "cleaning",
    "export",
    "refine",
    "KAT",
    "drawkit",
    "tsdraw",
    "sandbox",
)

__all__ = list(_MODULES)


def __getattr__(name):
    if name in _MODULES:
        return importlib.import_module(f"{__name__}.{name}")
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
