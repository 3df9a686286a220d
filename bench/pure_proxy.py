"""A pure-Python proxy doing the same zone and mask checks as SupervisorProxy's reads: the peer
that shows what the native proxy saves."""

from __future__ import annotations

import re

_OVERRIDES: dict[str, int] = {}
_PHYSICS = {"Data": 15, "Signal": 3, "Meta": 5, "Heavy": 5, "Log": 3, "Constant": 1, "Private": 0}
_PREFIXES = [("sig_", "Signal"), ("cmd_", "Signal"), ("meta_", "Meta"), ("heavy_", "Heavy"), ("log_", "Log"),
             ("audit_", "Log"), ("const_", "Constant"), ("internal_", "Private")]
_EXACT = {"sig": "Signal", "meta": "Meta", "heavy": "Heavy", "log": "Log"}


def resolve_zone(path: str) -> str:
    for seg in path.replace("[", ".").replace("]", "").split("."):
        if seg in _EXACT:
            return _EXACT[seg]
        for prefix, zone in _PREFIXES:
            if seg.startswith(prefix):
                return zone
    return "Data"


def zone_mask(path: str) -> int:
    if _OVERRIDES:
        if path in _OVERRIDES:
            return _OVERRIDES[path]
        segs = re.sub(r"\]", "", path.replace("[", ".")).split(".")
        for k in range(len(segs), 0, -1):
            hit = _OVERRIDES.get(".".join(segs[:k]))
            if hit is not None:
                return hit
    return _PHYSICS[resolve_zone(path)]


class PurePythonProxy:
    __slots__ = ("_target", "_path", "_read_only", "_caps")

    def __init__(self, target, path="", read_only=False, capabilities=15):
        self._target, self._path, self._read_only, self._caps = target, path, read_only, capabilities

    def _child(self, key):
        return f"{self._path}.{key}" if self._path else key

    def __getattr__(self, name):
        if name.startswith("_"):
            raise AttributeError(name)
        child = self._child(name)
        caps = self._caps
        if not ((caps & 16 and resolve_zone(child) != "Constant") or (caps & zone_mask(child) & 1)):
            return None
        target = self._target
        value = target[name] if isinstance(target, dict) else getattr(target, name)
        if isinstance(value, (dict, list)) or hasattr(value, "__dict__"):
            mask = 31 if caps & 16 else caps & zone_mask(child)
            return PurePythonProxy(value, child, self._read_only, mask)
        return value
