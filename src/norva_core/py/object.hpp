// Python classes around native C++ classes.
//
// Each Python-visible class wraps one plain C++ class T (the algorithm, holding Refs, knowing
// nothing of slots). `Object<T>` is the instance layout: the object header, the borrow flag, an
// optional instance dict, and the T value itself. Methods, properties and constructors are
// ordinary C++ functions; the templates below generate the C entry points from their parameter
// types and their signature texts (signature.hpp), take the declared borrow for the call, and
// translate exceptions at the boundary.
//
//     static Ref read(SupervisorCore& self, std::string_view key);
//     py::method<read>("read($self, key)", "Read a value by key - returns reference (zero-copy)")
#pragma once

#include "boundary.hpp"
#include "borrow.hpp"
#include "signature.hpp"

#include <concepts>
#include <cstddef>
#include <cstring>
#include <new>
#include <tuple>
#include <utility>
#include <vector>

namespace py {

template <class T>
struct Object {
    PyObject_HEAD
    BorrowFlag borrow;
    PyObject* dict;      // used only by classes that give instances a __dict__
    PyObject* weakrefs;  // every instance can be weakly referenced
    alignas(T) unsigned char storage[sizeof(T)];

    T& value() noexcept { return *std::launder(reinterpret_cast<T*>(storage)); }
};

// The type object of each native class, created once per process by `define_class`.
template <class T>
struct Class {
    static inline PyTypeObject* type = nullptr;
    static inline const char* short_name = "";
};

template <class T>
Object<T>* as_object(PyObject* o) noexcept {
    return reinterpret_cast<Object<T>*>(o);
}
template <class T>
bool is_instance(PyObject* o) noexcept {
    return Class<T>::type != nullptr && PyObject_TypeCheck(o, Class<T>::type);
}
template <class T>
T& native(PyObject* o) noexcept {
    return as_object<T>(o)->value();
}

// A Python instance of a native class: the object (borrowed) and its value. Use it as a
// parameter type where the code needs the Python object itself, not only the value.
template <class T>
struct Instance {
    PyObject* obj;
    T& operator*() const noexcept { return native<T>(obj); }
    T* operator->() const noexcept { return &native<T>(obj); }
    BorrowFlag& borrow() const noexcept { return as_object<T>(obj)->borrow; }
};

template <class T>
struct FromPython<T&> {
    static T& convert(PyObject* obj) {
        if (!is_instance<T>(obj)) conversion_error(obj, Class<T>::short_name);
        return native<T>(obj);
    }
};
template <class T>
struct FromPython<Instance<T>> {
    static Instance<T> convert(PyObject* obj) {
        if (!is_instance<T>(obj)) conversion_error(obj, Class<T>::short_name);
        return {obj};
    }
};

// A new Python object of class T holding `value`.
template <class T>
Ref wrap(T value) {
    PyTypeObject* tp = Class<T>::type;
    Ref obj = check(tp->tp_alloc(tp, 0));
    new (as_object<T>(obj.get())->storage) T(std::move(value));
    return obj;
}

// A new list with `convert(element)` (a Ref) for each element of a native range.
template <class Range, class Convert>
Ref list_of(Range&& range, Convert&& convert) {
    Ref list = check(PyList_New(static_cast<Py_ssize_t>(std::size(range))));
    Py_ssize_t i = 0;
    for (auto&& element : range) PyList_SET_ITEM(list.get(), i++, convert(element).release());
    return list;
}

// tp_repr of a class whose native value renders itself with `repr()`.
template <class T>
PyObject* repr_slot(PyObject* self) {
    return guarded([&] { return str(native<T>(self).repr()).release(); });
}

// ---- the generated entry points -------------------------------------------------------------

namespace detail {

template <class F>
struct fn_traits;
template <class R, class... A>
struct fn_traits<R (*)(A...)> {
    using result = R;
    using args = std::tuple<A...>;
    static constexpr std::size_t arity = sizeof...(A);
};

// Which native class a self parameter refers to, and how to get it from the Python object.
template <class S>
struct self_traits;
template <class T>
struct self_traits<T&> {
    using native_type = std::remove_const_t<T>;
    static T& get(PyObject* o) { return native<native_type>(o); }
};
template <class T>
struct self_traits<Instance<T>> {
    using native_type = T;
    static Instance<T> get(PyObject* o) { return {o}; }
};

template <auto Fn>
struct Bound {
    static inline const Signature* sig = nullptr;
};

template <Access A>
struct BorrowScope;
template <>
struct BorrowScope<Access::None> {
    explicit BorrowScope(BorrowFlag&) {}
};
template <>
struct BorrowScope<Access::Shared> {
    SharedBorrow guard;
    explicit BorrowScope(BorrowFlag& f) : guard(f) {}
};
template <>
struct BorrowScope<Access::Exclusive> {
    ExclusiveBorrow guard;
    explicit BorrowScope(BorrowFlag& f) : guard(f) {}
};

template <class R>
Ref result_of(auto&& call) {
    if constexpr (std::is_void_v<R>) {
        call();
        return none();
    } else {
        return to_python_value(call());
    }
}

// Convert the arguments in declaration order (a braced list is evaluated left to right), then call.
template <auto Fn, std::size_t Skip, class... Pre, std::size_t... I>
Ref call_converted(const Signature& sig, PyObject** slots, std::index_sequence<I...>, Pre&&... pre) {
    using Tr = fn_traits<decltype(Fn)>;
    using Args = typename Tr::args;
    std::tuple<std::tuple_element_t<I + Skip, Args>...> converted{
        convert_arg<std::tuple_element_t<I + Skip, Args>>(sig, I, slots[I])...};
    return result_of<typename Tr::result>(
        [&]() -> decltype(auto) { return std::apply([&](auto&... a) -> decltype(auto) { return Fn(pre..., a...); }, converted); });
}

template <auto Fn, Access A>
PyObject* method_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        using Tr = fn_traits<decltype(Fn)>;
        using SelfParam = std::tuple_element_t<0, typename Tr::args>;
        using ST = self_traits<SelfParam>;
        constexpr std::size_t N = Tr::arity - 1;
        const Signature& sig = *Bound<Fn>::sig;
        PyObject* slots[N + 1];
        bind_vector(sig, args, nargs, kwnames, slots);
        BorrowScope<A> scope(as_object<typename ST::native_type>(self)->borrow);
        decltype(auto) s = ST::get(self);
        return call_converted<Fn, 1>(sig, slots, std::make_index_sequence<N>{}, s).release();
    });
}

template <auto Fn>
PyObject* function_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        using Tr = fn_traits<decltype(Fn)>;
        constexpr std::size_t N = Tr::arity;
        const Signature& sig = *Bound<Fn>::sig;
        PyObject* slots[N + 1];
        bind_vector(sig, args, nargs, kwnames, slots);
        return call_converted<Fn, 0>(sig, slots, std::make_index_sequence<N>{}).release();
    });
}

template <class T, auto Make>
PyObject* new_entry(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        using Tr = fn_traits<decltype(Make)>;
        constexpr std::size_t N = Tr::arity;
        const Signature& sig = *Bound<Make>::sig;
        PyObject* slots[N + 1];
        bind_tuple(sig, args, kwargs, slots);
        T value = [&]<std::size_t... I>(std::index_sequence<I...>) -> T {
            using Args = typename Tr::args;
            std::tuple<std::tuple_element_t<I, Args>...> converted{
                convert_arg<std::tuple_element_t<I, Args>>(sig, I, slots[I])...};
            return std::apply([](auto&... a) -> T { return Make(a...); }, converted);
        }(std::make_index_sequence<N>{});
        Ref obj = check(subtype->tp_alloc(subtype, 0));
        new (as_object<T>(obj.get())->storage) T(std::move(value));
        return obj.release();
    });
}

template <class T>
PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_Format(PyExc_TypeError, "No constructor defined for %s", Class<T>::short_name);
    return nullptr;
}

template <auto Get, Access A>
PyObject* getter_entry(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        using Tr = fn_traits<decltype(Get)>;
        using ST = self_traits<std::tuple_element_t<0, typename Tr::args>>;
        BorrowScope<A> scope(as_object<typename ST::native_type>(self)->borrow);
        decltype(auto) s = ST::get(self);
        return result_of<typename Tr::result>([&]() -> decltype(auto) { return Get(s); }).release();
    });
}

template <auto Set, Access A>
int setter_entry(PyObject* self, PyObject* value, void*) {
    if (value == nullptr) {
        PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
        return -1;
    }
    return guarded(-1, [&]() -> int {
        using Tr = fn_traits<decltype(Set)>;
        using ST = self_traits<std::tuple_element_t<0, typename Tr::args>>;
        using V = std::tuple_element_t<1, typename Tr::args>;
        BorrowScope<A> scope(as_object<typename ST::native_type>(self)->borrow);
        decltype(auto) s = ST::get(self);
        Set(s, from_python<V>(value));
        return 0;
    });
}

template <auto Fn>
const Signature& bind_signature(const char* text, std::string_view callable_name = {}) {
    const Signature& sig = parse_signature(text, callable_name);
    Bound<Fn>::sig = &sig;
    return sig;
}

const char* doc_with_signature(const Signature& sig, const char* doc);

}  // namespace detail

// ---- declarations used by the bindings ----------------------------------------------------

template <auto Fn, Access A = Access::Shared>
PyMethodDef method(const char* signature, const char* doc = nullptr) {
    const Signature& sig = detail::bind_signature<Fn>(signature);
    return {persist(sig.name), reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&detail::method_entry<Fn, A>)),
            METH_FASTCALL | METH_KEYWORDS, detail::doc_with_signature(sig, doc)};
}

template <auto Fn>
PyMethodDef static_method(const char* signature, const char* doc = nullptr) {
    const Signature& sig = detail::bind_signature<Fn>(signature);
    return {persist(sig.name), reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&detail::function_entry<Fn>)),
            METH_FASTCALL | METH_KEYWORDS | METH_STATIC, detail::doc_with_signature(sig, doc)};
}

// A module-level function.
template <auto Fn>
PyMethodDef function(const char* signature, const char* doc = nullptr) {
    const Signature& sig = detail::bind_signature<Fn>(signature);
    return {persist(sig.name), reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&detail::function_entry<Fn>)),
            METH_FASTCALL | METH_KEYWORDS, detail::doc_with_signature(sig, doc)};
}

template <auto Get, Access A = Access::Shared>
PyGetSetDef property(const char* name, const char* doc = nullptr) {
    return {name, &detail::getter_entry<Get, A>, nullptr, doc, nullptr};
}

template <auto Get, auto Set, Access GA = Access::Shared, Access SA = Access::Exclusive>
PyGetSetDef property(const char* name, const char* doc = nullptr) {
    return {name, &detail::getter_entry<Get, GA>, &detail::setter_entry<Set, SA>, doc, nullptr};
}

struct ClassDef {
    const char* name;                 // "norva_core.Name" (qualified) or "Name" (no module)
    const char* signature = nullptr;  // constructor signature, e.g. "(key, size=0)"
    const char* doc = nullptr;
    bool subclassable = false;
    bool instance_dict = false;
    std::vector<PyMethodDef> methods = {};
    std::vector<PyGetSetDef> properties = {};
    std::vector<PyType_Slot> slots = {};  // extra slots: repr, comparisons, ...
};

namespace detail {
PyTypeObject* build_type(const ClassDef& def, PyType_Slot* base_slots, std::size_t nbase, int basicsize,
                         Py_ssize_t dict_offset, Py_ssize_t weaklist_offset, bool gc);
}

template <class T>
concept Traversable = requires(T& t, visitproc visit, void* arg) {
    { t.traverse(visit, arg) } -> std::same_as<int>;
    t.clear();
};

// Create the type object of T, once per process. `Make` is the constructor, a function returning a
// T from the converted arguments, or nullptr for classes that Python cannot instantiate.
template <class T, auto Make = nullptr>
PyTypeObject* define_class(const ClassDef& def) {
    if (Class<T>::type != nullptr) return Class<T>::type;
    const char* dot = std::strrchr(def.name, '.');
    Class<T>::short_name = dot ? dot + 1 : def.name;
    constexpr bool gc = Traversable<T>;
    const bool track = gc || def.instance_dict;

    static destructor dealloc = [](PyObject* self) {
        PyTypeObject* tp = Py_TYPE(self);
        if (PyType_IS_GC(tp)) PyObject_GC_UnTrack(self);
        if (as_object<T>(self)->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
        Py_CLEAR(as_object<T>(self)->dict);
        as_object<T>(self)->value().~T();
        tp->tp_free(self);
        Py_DECREF(tp);
    };
    std::vector<PyType_Slot> base = {{Py_tp_dealloc, reinterpret_cast<void*>(dealloc)}};
    if constexpr (std::is_same_v<decltype(Make), std::nullptr_t>) {
        base.push_back({Py_tp_new, reinterpret_cast<void*>(&detail::no_constructor<T>)});
    } else {
        detail::bind_signature<Make>(def.signature ? def.signature : "()", Class<T>::short_name);
        base.push_back({Py_tp_new, reinterpret_cast<void*>(&detail::new_entry<T, Make>)});
    }
    if (track) {
        static traverseproc traverse = [](PyObject* self, visitproc visit, void* arg) -> int {
            Py_VISIT(Py_TYPE(self));
            Py_VISIT(as_object<T>(self)->dict);
            if constexpr (gc) return as_object<T>(self)->value().traverse(visit, arg);
            return 0;
        };
        static inquiry clear = [](PyObject* self) -> int {
            Py_CLEAR(as_object<T>(self)->dict);
            if constexpr (gc) as_object<T>(self)->value().clear();
            return 0;
        };
        base.push_back({Py_tp_traverse, reinterpret_cast<void*>(traverse)});
        base.push_back({Py_tp_clear, reinterpret_cast<void*>(clear)});
    }
    PyTypeObject* tp = detail::build_type(def, base.data(), base.size(), static_cast<int>(sizeof(Object<T>)),
                                          def.instance_dict ? static_cast<Py_ssize_t>(offsetof(Object<T>, dict)) : 0,
                                          static_cast<Py_ssize_t>(offsetof(Object<T>, weakrefs)), track);
    Class<T>::type = tp;
    return tp;
}

}  // namespace py
