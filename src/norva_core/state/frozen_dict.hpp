// FrozenDict, the read-only mapping through which a State hands out its zones, and the
// copy-on-write merge that State.update uses when a dict is written over a dict.
#pragma once

#include "../py/ref.hpp"

namespace norva::state {

struct FrozenDict {
    py::Ref inner;  // a dict, never mutated through this object

    int traverse(visitproc visit, void* arg) {
        Py_VISIT(inner.get());
        return 0;
    }
    void clear() { inner.reset(); }
};

// Truth of `a == b` for two stored values. When the comparison result refuses a truth value (as
// element-wise array comparisons do), its `all()` decides. `all()` failing counts as unequal;
// errors of the comparison itself, or of the truth of `all()`'s result, propagate.
bool values_equal(PyObject* a, PyObject* b);

// Equality of two dicts: same length and every key of `a`, in order, in `b` with an equal value.
bool dicts_equal(PyObject* a, PyObject* b);

// Merge `update` (a dict) into a shallow copy of `base`, descending only where both sides hold
// dicts; every other branch is shared, not copied. Neither argument is modified.
py::Ref deep_merge_cow(PyObject* base, PyObject* update);

}  // namespace norva::state
