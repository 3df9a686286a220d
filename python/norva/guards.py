"""The active transaction of the running process.

Capability proxies look the current transaction up here (without importing this module) when
they need to copy a value or log a change. The host sets :data:`_current_tx` for the duration of
a process run and resets it afterwards; nothing in the core ever sets it.
"""

from __future__ import annotations

import contextvars
from typing import Any

_current_tx: contextvars.ContextVar[Any] = contextvars.ContextVar("norva_current_tx", default=None)

__all__ = ["_current_tx"]
