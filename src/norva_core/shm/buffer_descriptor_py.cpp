// Python face of BufferDescriptor.
#include "buffer_descriptor_py.hpp"

#include "buffer_descriptor.hpp"

namespace norva::shm {

namespace {

// Any sequence of non-negative integers; a str is a sequence too, but never a shape.
struct Shape {
    std::vector<std::uint64_t> dims;
};

}  // namespace
}  // namespace norva::shm

template <>
struct py::FromPython<norva::shm::Shape> {
    static norva::shm::Shape convert(PyObject* obj) {
        if (PyUnicode_Check(obj)) throw py::error(PyExc_TypeError, "a str cannot be taken as a sequence of integers");
        if (!PySequence_Check(obj)) py::conversion_error(obj, "Sequence");
        Py_ssize_t n = PySequence_Size(obj);
        if (n < 0) throw py::error_already_set{};
        norva::shm::Shape shape;
        shape.dims.reserve(static_cast<std::size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            py::Ref item = py::check(PySequence_GetItem(obj, i));
            shape.dims.push_back(py::from_python<std::uint64_t>(item.get()));
        }
        return shape;
    }
};

namespace norva::shm {

namespace {

BufferDescriptor make(std::string name, std::uint64_t size, Shape shape, std::string dtype) {
    return {std::move(name), size, std::move(shape.dims), std::move(dtype)};
}

std::string name(BufferDescriptor& self) { return self.name; }
std::uint64_t size(BufferDescriptor& self) { return self.size; }
std::string dtype(BufferDescriptor& self) { return self.dtype; }
py::Ref shape(BufferDescriptor& self) {
    return py::list_of(self.shape, [](std::uint64_t d) { return py::to_python_value(d); });
}

}  // namespace

PyTypeObject* buffer_descriptor_type() {
    return py::define_class<BufferDescriptor, make>({
        .name = "BufferDescriptor",
        .signature = "(name, size, shape, dtype)",
        .doc = "BufferDescriptor: The \"Passport\" for Zero-Copy Data.\n"
               "Contains metadata needed for Python to reconstruct a memoryview.",
        .properties =
            {
                py::property<name>("name"),
                py::property<size>("size"),
                py::property<shape>("shape"),
                py::property<dtype>("dtype"),
            },
        .slots = {{Py_tp_repr, reinterpret_cast<void*>(py::repr_slot<BufferDescriptor>)}},
    });
}

}  // namespace norva::shm
