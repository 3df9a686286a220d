"""State structures of the framework.

:class:`ContextError` is raised for writes to immutable objects, refused commits and bad update
arguments. The type is created and owned by :mod:`norva_core`; it is re-exported here, where its
qualified name ``norva.structures.ContextError`` places it.
"""

from norva_core import ContextError

__all__ = ["ContextError"]
