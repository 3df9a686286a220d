#include "text.hpp"

#include <cmath>
#include <cstdio>
#include <unistd.h>

namespace py {

std::string format_float(double v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
    // Fixed notation without a precision gives the shortest text that round-trips.
    char buf[400];
    auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed);
    return std::string(buf, res.ptr);
}

std::string format_mask(std::uint8_t mask) {
    std::string bits;
    for (int bit = 7; bit >= 0; --bit) {
        if (!bits.empty() || (mask >> bit) & 1u) bits.push_back(((mask >> bit) & 1u) ? '1' : '0');
    }
    if (bits.size() < 4) bits.insert(0, 4 - bits.size(), '0');
    return bits;
}

std::string debug_quote(std::string_view s) {
    static constexpr char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(s.size() + 2);
    out.push_back('"');
    for (unsigned char c : s) {
        switch (c) {
            case '"': out.append("\\\""); break;
            case '\\': out.append("\\\\"); break;
            case '\n': out.append("\\n"); break;
            case '\r': out.append("\\r"); break;
            case '\t': out.append("\\t"); break;
            case '\0': out.append("\\0"); break;
            default:
                if (c < 0x20 || c == 0x7f) {
                    out.append("\\u{");
                    if (c >= 0x10) out.push_back(hex[c >> 4]);
                    out.push_back(hex[c & 0xf]);
                    out.push_back('}');
                } else {
                    out.push_back(static_cast<char>(c));
                }
        }
    }
    out.push_back('"');
    return out;
}

namespace {
// Text of a str object, or nullopt-like empty with ok=false when it cannot be encoded.
bool utf8_of(PyObject* s, std::string& out) {
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(s, &n);
    if (p == nullptr) {
        PyErr_Clear();
        return false;
    }
    out.assign(p, static_cast<std::size_t>(n));
    return true;
}
}  // namespace

std::string exception_text(PyObject* exc) {
    std::string name;
    PyObject* qual = PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(exc)), "__qualname__");
    if (qual == nullptr || !PyUnicode_Check(qual) || !utf8_of(qual, name)) {
        PyErr_Clear();
        name = Py_TYPE(exc)->tp_name;
    }
    Py_XDECREF(qual);
    std::string text;
    PyObject* s = PyObject_Str(exc);
    if (s == nullptr || !utf8_of(s, text)) {
        PyErr_Clear();
        text = "<exception str() failed>";
    }
    Py_XDECREF(s);
    return name + ": " + text;
}

Ref take_exception() {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (type == nullptr) return {};
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb != nullptr && value != nullptr) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return Ref::steal(value);
}

std::string type_name(PyObject* obj) {
    std::string name;
    PyObject* n = PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__name__");
    if (n == nullptr || !PyUnicode_Check(n) || !utf8_of(n, name)) {
        PyErr_Clear();
        name = "unknown";
    }
    Py_XDECREF(n);
    return name;
}

void write_stderr(std::string_view text) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    bool written = false;
    PyObject* stream = PySys_GetObject("stderr");  // borrowed
    if (stream != nullptr && stream != Py_None) {
        PyObject* s = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
        if (s != nullptr) {
            PyObject* r = PyObject_CallMethod(stream, "write", "O", s);
            written = r != nullptr;
            Py_XDECREF(r);
            Py_DECREF(s);
        }
        if (written) {
            PyObject* r = PyObject_CallMethod(stream, "flush", nullptr);
            Py_XDECREF(r);
        }
        PyErr_Clear();
    }
    if (!written) {
        std::fwrite(text.data(), 1, text.size(), stderr);
        std::fflush(stderr);
    }
    PyErr_Restore(type, value, tb);
}

void write_stdout_fd(std::string_view text) {
    // Python's own buffered stdout may hold earlier output; flush it so lines keep their order.
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyObject* stream = PySys_GetObject("stdout");
    if (stream != nullptr && stream != Py_None) {
        PyObject* r = PyObject_CallMethod(stream, "flush", nullptr);
        Py_XDECREF(r);
        PyErr_Clear();
    }
    PyErr_Restore(type, value, tb);
    const char* p = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        ssize_t n = ::write(STDOUT_FILENO, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

}  // namespace py
