// The binding layer, exercised on a small class built with it inside an embedded interpreter:
// argument binding and defaults, the standard conversion texts, borrow clashes on re-entry, and
// the GilMutex under re-entry and contention. Plus the text helpers.
#include <gtest/gtest.h>

#include "py/gil_mutex.hpp"
#include "py/object.hpp"
#include "py/text.hpp"

#include <optional>
#include <string>

namespace {

struct Probe {
    py::GilMutex mutex;
    int calls = 0;
    Probe() = default;
    Probe(Probe&&) noexcept {}
};

Probe make_probe() { return Probe{}; }

py::Ref call(Probe&, PyObject* fn) { return py::check(PyObject_CallNoArgs(fn)); }

py::Ref locked_call(Probe& self, PyObject* fn) {
    py::GilLock lock(self.mutex, "probe lock re-entered");
    ++self.calls;
    return py::check(PyObject_CallNoArgs(fn));
}

int calls(Probe& self) { return self.calls; }

std::string describe(Probe&, std::uint8_t small, std::uint64_t big, bool flag, std::string_view text,
                     std::optional<std::string> maybe) {
    return py::fmt("{} {} {} {} {}", int(small), big, flag, text, maybe ? *maybe : std::string("none"));
}

PyObject* probe_module() {
    static PyObject* module = nullptr;
    if (module) return module;
    PyTypeObject* tp = py::define_class<Probe, make_probe>({
        .name = "probe.Probe",
        .signature = "()",
        .doc = "A class made with the binding layer.",
        .methods =
            {
                py::method<call>("call($self, fn)"),
                py::method<call, py::Access::Exclusive>("call_exclusive($self, fn)"),
                py::method<locked_call>("locked_call($self, fn)"),
                py::method<describe>("describe($self, small, big=7, flag=False, text=..., maybe=None)", "Doc."),
            },
        .properties = {py::property<calls>("calls")},
    });
    module = PyModule_New("probe");
    PyModule_AddObjectRef(module, "Probe", reinterpret_cast<PyObject*>(tp));
    return module;
}

class Binding : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!Py_IsInitialized()) {
            Py_InitializeEx(0);
            PyEval_SaveThread();  // tests take the interpreter lock themselves
        }
    }
    // Run Python code with `Probe` and a fresh instance `p` in scope; returns the value of `result`.
    std::string run(const std::string& code) {
        PyGILState_STATE g = PyGILState_Ensure();
        std::string out;
        PyObject* globals = PyDict_New();
        PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins());
        PyDict_SetItemString(globals, "Probe", PyObject_GetAttrString(probe_module(), "Probe"));
        PyObject* r = PyRun_String(("p = Probe()\n" + code).c_str(), Py_file_input, globals, globals);
        if (r == nullptr) {
            PyErr_Print();
            out = "<python error>";
        } else {
            PyObject* res = PyDict_GetItemString(globals, "result");
            PyObject* s = res ? PyObject_Str(res) : nullptr;
            out = s ? PyUnicode_AsUTF8(s) : "<no result>";
            Py_XDECREF(s);
        }
        Py_XDECREF(r);
        Py_DECREF(globals);
        PyGILState_Release(g);
        return out;
    }
};

TEST_F(Binding, SignatureTextAndDefaults) {
    EXPECT_EQ(run("result = Probe.describe.__text_signature__"),
              "($self, small, big=7, flag=False, text=..., maybe=None)");
    EXPECT_EQ(run("result = Probe.describe.__doc__"), "Doc.");
    EXPECT_EQ(run("result = p.describe(1)"), "1 7 false  none");
    EXPECT_EQ(run("result = p.describe(2, maybe='m', text='t', flag=True, big=2**64-1)"),
              "2 18446744073709551615 true t m");
}

TEST_F(Binding, ArgumentErrors) {
    struct Case {
        const char* call;
        const char* message;
    } cases[] = {
        {"p.describe()", "TypeError: describe() missing required argument 'small' (pos 1)"},
        {"p.describe(1, 2, True, 't', None, 6)", "TypeError: describe() takes at most 5 positional arguments (6 given)"},
        {"p.describe(1, nope=1)", "TypeError: describe() got an unexpected keyword argument 'nope'"},
        {"p.describe(1, small=1)", "TypeError: describe() got multiple values for argument 'small'"},
        {"p.describe(256)", "OverflowError: argument 'small': out of range integral type conversion attempted"},
        {"p.describe(-1)", "OverflowError: argument 'small': can't convert negative int to unsigned"},
        {"p.describe(1, flag=1)", "TypeError: argument 'flag': 'int' object cannot be converted to 'PyBool'"},
        {"p.describe(1, text=b'x')", "TypeError: argument 'text': 'bytes' object cannot be converted to 'PyString'"},
        {"p.describe(1.0)", "TypeError: argument 'small': 'float' object cannot be interpreted as an integer"},
        {"Probe(1)", "TypeError: Probe() takes no arguments (1 given)"},
    };
    for (const Case& c : cases) {
        std::string code = std::string("try:\n    ") + c.call +
                           "\n    result = 'no error'\nexcept Exception as e:\n    result = type(e).__name__ + ': ' + str(e)";
        EXPECT_EQ(run(code), c.message) << c.call;
    }
}

TEST_F(Binding, BorrowClashesOnReentry) {
    const char* probe = "def attempt(f):\n"
                        "    try:\n        f()\n        return 'ok'\n"
                        "    except RuntimeError as e:\n        return str(e)\n";
    EXPECT_EQ(run(std::string(probe) + "result = p.call(lambda: attempt(lambda: p.call(lambda: 1)))"), "ok");
    EXPECT_EQ(run(std::string(probe) + "result = p.call(lambda: attempt(lambda: p.call_exclusive(lambda: 1)))"),
              "Already borrowed");
    EXPECT_EQ(run(std::string(probe) + "result = p.call_exclusive(lambda: attempt(lambda: p.call(lambda: 1)))"),
              "Already mutably borrowed");
    // The flag is released again after a clash and after an exception.
    EXPECT_EQ(run(std::string(probe) + "try:\n    p.call_exclusive(lambda: 1/0)\nexcept ZeroDivisionError:\n    pass\n"
                                       "result = p.call_exclusive(lambda: 'free')"),
              "free");
}

TEST_F(Binding, GilMutexRefusesReentryAndLetsWaitersSleep) {
    EXPECT_EQ(run("try:\n    p.locked_call(lambda: p.locked_call(lambda: 1))\n    result = 'no error'\n"
                  "except RuntimeError as e:\n    result = str(e)"),
              "probe lock re-entered");
    // One thread holds the lock while its callback sleeps (releasing the interpreter lock); the
    // other blocks on the lock. The waiter must not keep the interpreter lock, or the holder could
    // never finish.
    EXPECT_EQ(run("import threading, time\n"
                  "started = threading.Event()\n"
                  "def hold():\n    started.set()\n    time.sleep(0.2)\n"
                  "t = threading.Thread(target=p.locked_call, args=(hold,))\n"
                  "t.start()\nstarted.wait()\n"
                  "p.locked_call(lambda: None)\n"
                  "t.join(5)\n"
                  "result = (t.is_alive(), p.calls)"),
              "(False, 2)");
}

TEST(Text, Floats) {
    struct {
        double v;
        const char* text;
    } cases[] = {{0.0, "0"}, {1.0, "1"}, {1.5, "1.5"}, {0.1, "0.1"}, {1e20, "100000000000000000000"},
                 {1.7e9 + 0.25, "1700000000.25"}, {-2.5, "-2.5"}, {1e-7, "0.0000001"}};
    for (auto& c : cases) EXPECT_EQ(py::format_float(c.v), c.text);
}

TEST(Text, MasksQuotesAndFormat) {
    EXPECT_EQ(py::format_mask(15), "1111");
    EXPECT_EQ(py::format_mask(5), "0101");
    EXPECT_EQ(py::format_mask(0), "0000");
    EXPECT_EQ(py::format_mask(31), "11111");
    EXPECT_EQ(py::format_mask(255), "11111111");
    EXPECT_EQ(py::debug_quote("a\"b\\c\n\x01"), "\"a\\\"b\\\\c\\n\\u{1}\"");
    EXPECT_EQ(py::fmt("Index [{}] out of range", 5), "Index [5] out of range");
    EXPECT_EQ(py::fmt("{} and {}", "a"), "a and {}");
}

}  // namespace
