"""Schema configuration of the framework.

:class:`SchemaViolationError` is raised when a schema document or a committed state fails its
checks. The type is created and owned by :mod:`norva_core`; it is re-exported here, where its
qualified name ``norva.config.SchemaViolationError`` places it.
"""

from norva_core import ConfigLoader, SchemaViolationError

__all__ = ["ConfigLoader", "SchemaViolationError"]
