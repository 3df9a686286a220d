// Persistent maps from exact-str keys to Python objects (or versions), the zones of a State.
#pragma once

#include "../py/ref.hpp"
#include "champ.hpp"

#include <cstdint>
#include <new>

namespace norva::state {

// A shared reference to a Python object: copying shares it. Maps copy and drop these only while
// the interpreter lock is held (every State operation holds it).
class Handle {
public:
    Handle() noexcept = default;
    explicit Handle(PyObject* p) noexcept : p_(p) { Py_XINCREF(p_); }
    static Handle steal(py::Ref r) noexcept {
        Handle h;
        h.p_ = r.release();
        return h;
    }
    Handle(const Handle& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
    Handle(Handle&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Handle& operator=(Handle o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~Handle() { Py_XDECREF(p_); }
    PyObject* get() const noexcept { return p_; }

private:
    PyObject* p_ = nullptr;
};

// Keys are exact str objects; their hash is computed (and cached by the str) once per operation.
struct StrTraits {
    using Key = Handle;
    // Handles are copied and dropped only under the interpreter lock, and so are the nodes.
    static constexpr bool atomic_refs = false;
    // Which also makes the interpreter's small-object allocator available for nodes: most are
    // small, and a path copy allocates one per level.
    static void* allocate(std::size_t bytes, std::size_t align) {
        if (align > 16) throw std::bad_alloc();
        void* p = PyObject_Malloc(bytes);
        if (p == nullptr) throw std::bad_alloc();
        return p;
    }
    static void deallocate(void* p, std::size_t, std::size_t) noexcept { PyObject_Free(p); }
    static std::uint64_t hash(const Handle& k) { return static_cast<std::uint64_t>(PyObject_Hash(k.get())); }
    static bool equal(const Handle& a, const Handle& b) {
        return a.get() == b.get() || PyUnicode_Compare(a.get(), b.get()) == 0;
    }
};

// A value of a State zone and the version that last wrote its key there. Keeping the version
// beside the value lets an update of a key copy one path instead of two.
struct Slot {
    Handle value;
    std::uint64_t version;
};

struct ObjectTraits : StrTraits {
    using Value = Handle;
};
struct SlotTraits : StrTraits {
    using Value = Slot;
};
struct VersionTraits : StrTraits {
    using Value = std::uint64_t;
};

using ObjectMap = champ::Map<ObjectTraits>;
using ZoneMap = champ::Map<SlotTraits>;
using VersionMap = champ::Map<VersionTraits>;

// An exact str for `key`, which must be a str (subclasses are copied to a plain str, so their
// own hashing or equality never reaches a map). Raises the standard conversion error otherwise.
Handle str_key(PyObject* key);

// A new dict with every entry of the map.
py::Ref to_dict(const ObjectMap& map);
py::Ref to_dict(const ZoneMap& map);

}  // namespace norva::state
