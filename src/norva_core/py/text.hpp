// Text helpers: the handful of renderings that messages and reprs across the module share.
#pragma once

#include "ref.hpp"

#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

namespace py {

namespace detail {
inline void append(std::string& out, std::string_view s) { out.append(s); }
inline void append(std::string& out, const std::string& s) { out.append(s); }
inline void append(std::string& out, const char* s) { out.append(s); }
inline void append(std::string& out, char c) { out.push_back(c); }
template <class T>
    requires(std::is_integral_v<T> && !std::is_same_v<T, bool> && !std::is_same_v<T, char>)
void append(std::string& out, T v) {
    char buf[32];
    auto res = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, res.ptr);
}
inline void append(std::string& out, bool b) { out.append(b ? "true" : "false"); }
}  // namespace detail

// Fill each "{}" of `pattern` with the next argument, in order. Messages are written exactly as the
// system quotes them, so the patterns in the code read like the texts users see.
template <class... Args>
std::string fmt(std::string_view pattern, const Args&... args) {
    std::string out;
    out.reserve(pattern.size() + 16 * sizeof...(Args));
    std::size_t pos = 0;
    auto one = [&](const auto& arg) {
        std::size_t at = pattern.find("{}", pos);
        if (at == std::string_view::npos) return;
        out.append(pattern.substr(pos, at - pos));
        detail::append(out, arg);
        pos = at + 2;
    };
    (one(args), ...);
    out.append(pattern.substr(pos));
    return out;
}

// Shortest decimal text that reads back to the same double, never with an exponent; a whole
// number has no fractional part (0.0 is "0", 1.5 is "1.5").
std::string format_float(double v);

// A capability mask in base two, zero-padded to at least four digits (5 is "0101", 31 "11111").
std::string format_mask(std::uint8_t mask);

// A text between double quotes with backslash escapes for quotes, backslashes and control
// characters, as debug renderings show strings.
std::string debug_quote(std::string_view s);

// "qualname: str()" of an exception instance, with "<exception str() failed>" when str() fails.
// Never raises; any error raised while rendering is cleared.
std::string exception_text(PyObject* exc);

// Takes the pending exception (normalized, with its traceback attached) and clears the indicator;
// empty when none is pending.
Ref take_exception();

// `type(obj).__name__`, or "unknown" when it cannot be read.
std::string type_name(PyObject* obj);

// Write a line to Python's sys.stderr (or the C stream when there is none). Never raises and keeps
// any pending exception intact, so diagnostics can be written from error paths.
void write_stderr(std::string_view text);

// Write straight to the process's standard output file descriptor, bypassing sys.stdout.
void write_stdout_fd(std::string_view text);

}  // namespace py
