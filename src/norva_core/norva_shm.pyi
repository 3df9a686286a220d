"""Exposed Python Module"""

from collections.abc import Sequence
from typing import Self, SupportsIndex, final

@final
class BufferDescriptor:
    """BufferDescriptor: The "Passport" for Zero-Copy Data.
    Contains metadata needed for Python to reconstruct a memoryview."""
    def __new__(cls, name: str, size: int, shape: Sequence[SupportsIndex], dtype: str) -> Self: ...
    @property
    def name(self) -> str: ...
    @property
    def size(self) -> int: ...
    @property
    def shape(self) -> list[int]: ...
    @property
    def dtype(self) -> str: ...
