// Paths such as domain.items[0].name, and the writers that store a value at a path inside live
// Python containers (dicts, lists and objects with attributes), creating missing dicts on the way.
//
// The writers mutate what they are given; the transaction machinery applies them to its own
// working copies. They run under the interpreter lock and report failures by throwing
// `py::error` (a new Python exception) or `py::error_already_set` (a failed Python operation,
// whose exception propagates unchanged). There is no rollback: steps taken before a failure stay.
#pragma once

#include "../py/ref.hpp"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace norva::paths {

// One step of a parsed path: a dict key (or attribute name on other objects), or a list position.
struct PathSegment {
    enum class Kind { Key, Index } kind;
    std::string key;  // UTF-8; meaningful for Key, may be empty
    std::uint64_t index = 0;
};

// Split a path into segments. Dots separate keys (empty keys between dots vanish); a bracket holds
// an unsigned decimal index (an optional '+' and leading zeros allowed) or else a key, with its
// surrounding quotes of either kind stripped. An unclosed bracket runs to the end of the text and
// ends the path. Never fails.
std::vector<PathSegment> parse_path_segments(std::string_view path);

// Store `value` at `path` under `root`, creating empty dicts for missing keys on the way. Keys on
// a non-dict object are attributes; the last key on a proxy (an object with `supervisor_target`)
// is written into its target. Values written under a key of a dict are unwrapped. A path with no
// segment does nothing.
void set_nested_value(PyObject* root, std::string_view path, PyObject* value);

// Like `set_nested_value`, except that a dict value written over an existing dict is merged into
// it with `deep_update_inplace`, values under dict keys are stored as given, and a key on a
// non-dict object falls back to the attribute of its `supervisor_target`.
void deep_update_at_path(PyObject* root, std::string_view path, PyObject* value);

// Merge the dict `source` into the dict `target` in place: nested dicts merge recursively, other
// values replace, and str keys containing a dot are paths written with `deep_update_at_path`.
void deep_update_inplace(PyObject* target, PyObject* source);

// `value.supervisor_target` when `value` has that attribute, else `value` itself. A failed lookup
// counts as absence and leaves no exception set.
py::Ref unwrap(PyObject* value);

}  // namespace norva::paths
