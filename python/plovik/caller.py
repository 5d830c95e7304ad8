"""Warnings that point at the user's line.

A warning raised deep inside the package (under a lock wrapper, a check, a
tuning) should name the line of the caller's code that made the call, not
a line of plovik, however many calls of the package lie in between: `warn`
finds the first frame outside the package and warns at its level.
"""

from __future__ import annotations

import os
import sys
import warnings
from types import FrameType

__all__ = ["warn"]

_PACKAGE = os.path.dirname(os.path.abspath(__file__))


def warn(message: str | Warning, category: type[Warning] | None = None) -> None:
    """`warnings.warn` at the first frame outside plovik."""
    frame: FrameType | None = sys._getframe(1)
    level = 2  # level 1 is this function
    while frame is not None and os.path.dirname(os.path.abspath(frame.f_code.co_filename)) == _PACKAGE:
        frame, level = frame.f_back, level + 1
    warnings.warn(message, category, stacklevel=level)
