"""The optional libraries (pyarrow, polars, pandas), imported when a feature
needs one, with an error that names what to install."""

from __future__ import annotations

import importlib
from typing import Any


def require(module: str, extra: str, purpose: str) -> Any:
    try:
        return importlib.import_module(module)
    except ImportError as error:
        raise ImportError(
            f"{purpose} needs the {module} package: pip install {module} (or quillon[{extra}])"
        ) from error
