"""norva: the host package of the norva process framework.

The heavy lifting lives in the native extension :mod:`norva_core`; this package holds the small
amount of Python that the core relies on (the active-transaction context variable) and, as the
framework grows, the helpers that run processes on it.
"""

from norva import config, guards, structures

__all__ = ["config", "guards", "structures"]
