// The key version table of State, which Python code sees only through compare-and-swap: top-level
// keys of both zones and one level of composite keys, each at the version that last wrote it.
#include <gtest/gtest.h>

#include "state/state.hpp"

#include <optional>
#include <string>

namespace {

using norva::state::Handle;
using norva::state::State;

class StateVersions : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!Py_IsInitialized()) {
            Py_InitializeEx(0);
            PyEval_SaveThread();  // tests take the interpreter lock themselves
        }
    }
    void SetUp() override { gil_ = PyGILState_Ensure(); }
    void TearDown() override {
        EXPECT_FALSE(PyErr_Occurred());
        PyErr_Clear();
        PyGILState_Release(gil_);
    }

    // A dict from a Python expression.
    static py::Ref dict(const char* expr) {
        py::Ref globals = py::check(PyDict_New());
        PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins());
        return py::check(PyRun_String(expr, Py_eval_input, globals.get(), globals.get()));
    }
    static std::optional<std::uint64_t> version_of(const State& s, const char* key) {
        return s.key_version(Handle::steal(py::str(key)));
    }

private:
    PyGILState_STATE gil_;
};

TEST_F(StateVersions, RecordsEachWriteAtItsVersion) {
    py::Ref data = dict("{'a': 1, 'cfg.y': 0}");
    py::Ref heavy = dict("{'h': b'x'}");
    State v5 = State::create(data.get(), heavy.get(), 5, 10);

    py::Ref cfg = dict("{'cfg': {'y': 1, 'z': {'deep': 1}}}");
    State v6 = v5.update(cfg.get(), nullptr, nullptr);
    py::Ref a_in_heavy = dict("{'a': 2}");
    State v7 = v6.update(nullptr, a_in_heavy.get(), nullptr);
    py::Ref scalar = dict("{'cfg': 5}");
    State v8 = v7.update(scalar.get(), nullptr, nullptr);

    struct Case {
        const State* state;
        const char* key;
        std::optional<std::uint64_t> version;
    } cases[] = {
        {&v5, "a", 5},           {&v5, "h", 5},          {&v5, "cfg.y", 5},     {&v5, "cfg", std::nullopt},
        {&v6, "cfg", 6},         {&v6, "cfg.z", 6},      {&v6, "cfg.z.deep", std::nullopt},
        // The composite key written at 6 is newer than the top-level key of the same text.
        {&v6, "cfg.y", 6},       {&v6, "a", 5},
        // A key in both zones: the later write, whichever zone it went to.
        {&v7, "a", 7},           {&v6, "a", 5},
        // A non-dict value records the key only; the composite keys keep their versions.
        {&v8, "cfg", 8},         {&v8, "cfg.y", 6},      {&v8, "missing", std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(version_of(*c.state, c.key), c.version) << "version " << c.state->version << ", key " << c.key;
    }
}

}  // namespace
