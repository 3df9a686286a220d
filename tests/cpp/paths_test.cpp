// The path grammar and the three path writers, run against live Python containers in an embedded
// interpreter. Each writer case renders the outcome as one text: the repr of the container after
// the write, or "ExceptionType: message / repr of the container" when the write fails (so that the
// steps taken before a failure are checked as well).
#include <gtest/gtest.h>

#include "engine/paths.hpp"

#include <string>
#include <string_view>
#include <vector>

namespace {

using norva::paths::PathSegment;

// Helpers shared by the cases: proxies (anything with `supervisor_target`), containers whose
// overrides must be honoured, and objects whose attribute access fails in particular ways.
constexpr const char* prelude = R"(
import types
NS = types.SimpleNamespace

class Proxy:
    def __init__(self, target):
        object.__setattr__(self, 'supervisor_target', target)
    def __repr__(self):
        return f'Proxy({self.supervisor_target!r})'

class BadProxy:
    @property
    def supervisor_target(self):
        raise ValueError('no target')
    def __repr__(self):
        return f'BadProxy({vars(self)})'

class Seen(dict):
    def __setitem__(self, key, value):
        super().__setitem__(key, ('seen', value))

class SeenList(list):
    def __setitem__(self, index, value):
        super().__setitem__(index, ('seen', value))

class RefusingDict(dict):
    def __setitem__(self, key, value):
        raise ValueError('refused')

class Refusing:
    def __setattr__(self, name, value):
        raise ValueError('refused')

class Broken:
    @property
    def x(self):
        raise ValueError('bad getter')

class Interrupting:
    @property
    def x(self):
        raise KeyboardInterrupt

class Nameless(type):
    @property
    def __name__(cls):
        raise ValueError('no name')

class Opaque(metaclass=Nameless):
    pass

def nested(depth):
    root = node = {}
    for _ in range(depth):
        node['k'] = {}
        node = node['k']
    return root
)";

std::string text_of(PyObject* obj) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
    if (data == nullptr) {
        PyErr_Clear();
        return "<undecodable>";
    }
    return std::string(data, static_cast<std::size_t>(size));
}

std::string render(const std::vector<PathSegment>& segments) {
    std::string out;
    for (const PathSegment& s : segments) {
        if (!out.empty()) out += ' ';
        out += s.kind == PathSegment::Kind::Key ? "K(" + s.key + ")" : "I(" + std::to_string(s.index) + ")";
    }
    return out;
}

class Paths : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!Py_IsInitialized()) {
            Py_InitializeEx(0);
            PyEval_SaveThread();  // tests take the interpreter lock themselves
        }
    }
    void SetUp() override {
        gil_ = PyGILState_Ensure();
        globals_ = py::check(PyDict_New());
        PyDict_SetItemString(globals_.get(), "__builtins__", PyEval_GetBuiltins());
        run(prelude);
    }
    void TearDown() override {
        globals_.reset();
        EXPECT_FALSE(PyErr_Occurred());
        PyErr_Clear();
        PyGILState_Release(gil_);
    }

    void run(const char* code) {
        py::Ref r = py::Ref::steal(PyRun_String(code, Py_file_input, globals_.get(), globals_.get()));
        if (!r) PyErr_Print();
        ASSERT_TRUE(r) << code;
    }
    py::Ref eval(const char* expr) {
        py::Ref r = py::Ref::steal(PyRun_String(expr, Py_eval_input, globals_.get(), globals_.get()));
        if (!r) PyErr_Print();
        EXPECT_TRUE(r) << expr;
        return r;
    }
    void bind(const char* name, PyObject* value) { PyDict_SetItemString(globals_.get(), name, value); }
    std::string repr_of(const char* expr) {
        py::Ref value = eval(expr);
        if (!value) return "<eval failed>";
        py::Ref r = py::Ref::steal(PyObject_Repr(value.get()));
        if (!r) {
            PyErr_Clear();
            return "<repr failed>";
        }
        return text_of(r.get());
    }

    // Run a writer: "ok", or the exception it raised as "Type: message". A writer must leave no
    // exception set when it succeeds or throws a new one, and exactly one when a Python call failed.
    template <class F>
    static std::string outcome(F&& write) {
        try {
            write();
            return PyErr_Occurred() ? "<stale exception after success>" : "ok";
        } catch (const py::error& e) {
            if (PyErr_Occurred()) return "<stale exception under " + e.message + ">";
            return std::string(reinterpret_cast<PyTypeObject*>(e.type)->tp_name) + ": " + e.message;
        } catch (const py::error_already_set&) {
            if (!PyErr_Occurred()) return "<error_already_set without exception>";
            PyObject *type, *value, *tb;
            PyErr_Fetch(&type, &value, &tb);
            PyErr_NormalizeException(&type, &value, &tb);
            py::Ref t = py::Ref::steal(type), v = py::Ref::steal(value), trace = py::Ref::steal(tb);
            py::Ref message = py::Ref::steal(PyObject_Str(v.get()));
            if (!message) PyErr_Clear();
            return std::string(reinterpret_cast<PyTypeObject*>(t.get())->tp_name) + ": " +
                   (message ? text_of(message.get()) : "<str failed>");
        }
    }
    // The outcome of a write, rendered with the container (viewed through `view`) afterwards.
    template <class F>
    std::string result(F&& write, const char* view) {
        std::string done = outcome(write);
        std::string after = repr_of(view);
        return done == "ok" ? after : done + " / " + after;
    }

private:
    PyGILState_STATE gil_;
    py::Ref globals_;
};

TEST_F(Paths, ParsesSegments) {
    struct Case {
        std::string_view path;
        const char* segments;
    } cases[] = {
        {"a.b[0].c", "K(a) K(b) I(0) K(c)"},
        {"a[+7][x]", "K(a) I(7) K(x)"},
        {"a['b.c']", "K(a) K(b.c)"},
        {"a[\"0\"]", "K(a) K(0)"},
        {"a[-1]", "K(a) K(-1)"},
        {"a[]", "K(a) K()"},
        {"a['']", "K(a) K()"},
        {"..a..", "K(a)"},
        {"", ""},
        {"...", ""},
        {"[0]", "I(0)"},
        {"a.[1][2]", "K(a) I(1) I(2)"},
        // An unclosed bracket takes the rest of the text, dots and brackets included, and ends it.
        {"a[0", "K(a) I(0)"},
        {"a[0.b[1", "K(a) K(0.b[1)"},
        {"a[x[y]", "K(a) K(x[y)"},
        // Quotes of both kinds are stripped in any mix from both ends only.
        {"a[\"'b'\"\"]", "K(a) K(b)"},
        {"a['b\"c']", "K(a) K(b\"c)"},
        {"a['7']", "K(a) K(7)"},
        // Indexes: one optional '+', leading zeros, 64 bits; anything else is a key.
        {"a[+]", "K(a) K(+)"},
        {"a[++1]", "K(a) K(++1)"},
        {"a[007]", "K(a) I(7)"},
        {"a[ 1]", "K(a) K( 1)"},
        {"a[0x1]", "K(a) K(0x1)"},
        {"a[18446744073709551615]", "K(a) I(18446744073709551615)"},
        {"a[18446744073709551616]", "K(a) K(18446744073709551616)"},
        {"a[+18446744073709551616]", "K(a) K(+18446744073709551616)"},
        // A ']' outside brackets is an ordinary character; text after a bracket starts a key.
        {"a]b", "K(a]b)"},
        {"a[1]]", "K(a) I(1) K(])"},
        {"a[0]x.y", "K(a) I(0) K(x) K(y)"},
        {"é.ключ[名前]", "K(é) K(ключ) K(名前)"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(render(norva::paths::parse_path_segments(c.path)), c.segments) << "path " << c.path;
    }
}

using Writer = void (*)(PyObject*, std::string_view, PyObject*);
constexpr Writer set = norva::paths::set_nested_value;
constexpr Writer update = norva::paths::deep_update_at_path;

struct WriteCase {
    Writer writer;
    const char* root;
    std::string_view path;
    const char* value;
    const char* expected;
    const char* view = "root";
};

TEST_F(Paths, WritesAtPaths) {
    const WriteCase cases[] = {
        // Both writers: creation on the way, lists, indexes and their bounds.
        {set, "{}", "a.b.c", "1", "{'a': {'b': {'c': 1}}}"},
        {update, "{}", "a.b.c", "1", "{'a': {'b': {'c': 1}}}"},
        {set, "{'items': [0]}", "items[3]", "'x'", "{'items': [0, None, None, 'x']}"},
        {update, "{'l': [0]}", "l[2]", "'x'", "{'l': [0, None, 'x']}"},
        {set, "[1, 2, 3]", "[1]", "'x'", "[1, 'x', 3]"},
        {set, "{'l': [{'a': 1}]}", "l[0].b", "2", "{'l': [{'a': 1, 'b': 2}]}"},
        {set, "{'items': [1, 2]}", "items[5].name", "1", "IndexError: Index [5] out of range / {'items': [1, 2]}"},
        {set, "{'items': [1, 2]}", "items[2].name", "1", "IndexError: Index [2] out of range / {'items': [1, 2]}"},
        {update, "{'l': [0]}", "l[1].x", "1", "IndexError: Index [1] out of range / {'l': [0]}"},
        // Padding stops 65536 places past the end.
        {set, "{'l': [0, 1, 2]}", "l[65539]", "'x'", "(65540, None, 'x')", "len(root['l']), root['l'][3], root['l'][-1]"},
        {set, "{'l': [0, 1, 2]}", "l[65540]", "'x'", "IndexError: Index [65540] out of range / 3", "len(root['l'])"},
        {update, "{'l': []}", "l[65536]", "'x'", "(65537, 'x')", "len(root['l']), root['l'][-1]"},
        {update, "{'l': []}", "l[65537]", "'x'", "IndexError: Index [65537] out of range / {'l': []}"},
        {set, "{'l': []}", "l[18446744073709551615]", "1",
         "IndexError: Index [18446744073709551615] out of range / {'l': []}"},
        // Indexes on what is not a list.
        {set, "{'items': {}}", "items[0]", "'v'", "{'items': {'0': 'v'}}"},
        {set, "{'d': {}}", "d[0].x", "1", "TypeError: Cannot navigate index [0] in non-list / {'d': {}}"},
        {set, "{'s': 5}", "s[0].x", "1", "TypeError: Cannot navigate index [0] in non-list / {'s': 5}"},
        {set, "{'s': 'text'}", "s[0]", "1", "TypeError: Cannot set index [0] on non-list/dict / {'s': 'text'}"},
        {update, "{'d': {}}", "d[0]", "1", "TypeError: Index [0] on non-list / {'d': {}}"},
        {update, "{'d': 5}", "d[0].x", "1", "TypeError: Index [0] on non-list / {'d': 5}"},
        // Keys on what is not a dict: attributes.
        {set, "{'a': 3}", "a.b.c", "1", "TypeError: Cannot navigate key 'b' in non-dict type 'int' / {'a': 3}"},
        {set, "{'a': 3}", "a.b", "1", "TypeError: Cannot set key 'b' on non-dict type 'int' / {'a': 3}"},
        {update, "{'a': 3}", "a.b", "1", "TypeError: Cannot set key 'b' on non-dict type 'int' / {'a': 3}"},
        {set, "{'a': [5]}", "a['0']", "1", "TypeError: Cannot set key '0' on non-dict type 'list' / {'a': [5]}"},
        {set, "NS(inner=NS())", "inner.x", "1", "namespace(inner=namespace(x=1))"},
        {set, "NS(d={})", "d.k.z", "1", "namespace(d={'k': {'z': 1}})"},
        {update, "{'n': NS()}", "n.x", "1", "{'n': namespace(x=1)}"},
        {set, "{'a': NS()}", "a.missing.z", "1",
         "TypeError: Cannot navigate key 'missing' in non-dict type 'SimpleNamespace' / {'a': namespace()}"},
        {set, "{'a': Broken()}", "a.x.y", "1", "TypeError: Cannot navigate key 'x' in non-dict type 'Broken' / 1",
         "len(root)"},
        {set, "{'a': Interrupting()}", "a.x.y", "1", "KeyboardInterrupt:  / 1", "len(root)"},
        {set, "{'a': Opaque()}", "a.b.c", "1", "TypeError: Cannot navigate key 'b' in non-dict type 'unknown' / 1",
         "len(root)"},
        // Proxies: the last key goes into the target, unwrapped only when the target is a dict.
        {set, "{'p': Proxy({'x': 1})}", "p.y", "Proxy(5)", "{'p': Proxy({'x': 1, 'y': 5})}"},
        {update, "{'p': Proxy({})}", "p.x", "Proxy(3)", "{'p': Proxy({'x': 3})}"},
        {set, "{'p': Proxy(NS())}", "p.y", "Proxy(5)", "{'p': Proxy(namespace(y=Proxy(5)))}"},
        {update, "{'p': Proxy(NS())}", "p.y", "Proxy(5)", "{'p': Proxy(namespace(y=Proxy(5)))}"},
        {set, "{'p': Proxy(Refusing())}", "p.y", "1", "ValueError: refused / 1", "len(root)"},
        // Only deep_update_at_path looks through a proxy on the way.
        {update, "{'p': Proxy(NS(inner={}))}", "p.inner.k", "1", "{'p': Proxy(namespace(inner={'k': 1}))}"},
        {set, "{'p': Proxy(NS(inner={}))}", "p.inner.k", "1",
         "TypeError: Cannot navigate key 'inner' in non-dict type 'Proxy' / {'p': Proxy(namespace(inner={}))}"},
        {update, "{'p': Proxy(NS())}", "p.missing.k", "1",
         "TypeError: Cannot navigate key 'missing' in non-dict type 'Proxy' / {'p': Proxy(namespace())}"},
        // A failing `supervisor_target` means "not a proxy".
        {set, "{'b': BadProxy()}", "b.y", "1", "{'b': BadProxy({'y': 1})}"},
        {set, "{}", "a", "BadProxy()", "{'a': BadProxy({})}"},
        // Unwrapping: set_nested_value unwraps values under dict keys only.
        {set, "{}", "a", "Proxy(7)", "{'a': 7}"},
        {set, "{'l': [0]}", "l[0]", "Proxy(7)", "{'l': [Proxy(7)]}"},
        {set, "{'d': {}}", "d[1]", "Proxy(7)", "{'d': {'1': Proxy(7)}}"},
        {update, "{}", "a", "Proxy(1)", "{'a': Proxy(1)}"},
        // deep_update_at_path merges a dict into an existing dict and replaces anything else.
        {update, "{'a': {'x': 1}}", "a", "{'y': 2}", "{'a': {'x': 1, 'y': 2}}"},
        {update, "{'a': 5}", "a", "{'y': 2}", "{'a': {'y': 2}}"},
        {update, "{'a': {'x': 1}}", "a", "5", "{'a': 5}"},
        {update, "{'a': {'x': {'p': 1}}}", "a.x", "{'q': 2}", "{'a': {'x': {'p': 1, 'q': 2}}}"},
        {set, "{'a': {'x': 1}}", "a", "{'y': 2}", "{'a': {'y': 2}}"},
        // Subclasses go through their own __setitem__ / __getitem__, exceptions propagate.
        {set, "Seen()", "a.b", "1", "{'a': ('seen', {'b': 1})}"},
        {update, "Seen({'a': {}})", "a", "{'x': 1}", "{'a': {'x': 1}}"},
        {set, "SeenList([0])", "[2]", "'x'", "[0, None, ('seen', 'x')]"},
        {set, "SeenList([0])", "[0]", "'x'", "[('seen', 'x')]"},
        {set, "RefusingDict()", "a", "1", "ValueError: refused / {}"},
        {set, "RefusingDict()", "a.b", "1", "ValueError: refused / {}"},
        // No rollback: what was created before the failure stays.
        {set, "{}", "a.b[0].c", "1", "TypeError: Cannot navigate index [0] in non-list / {'a': {'b': {}}}"},
        // Quoted, non-ASCII and undecodable keys.
        {set, "{}", "a['b.c']", "1", "{'a': {'b.c': 1}}"},
        {set, "{}", "a[\"0\"]", "1", "{'a': {'0': 1}}"},
        {set, "{}", "é.名前", "1", "{'é': {'名前': 1}}"},
        {set, "{}", "a\xff", "1", "{'a\\udcff': 1}"},
        // A path without a segment changes nothing.
        {set, "{'a': 1}", "", "2", "{'a': 1}"},
        {set, "{'a': 1}", "...", "2", "{'a': 1}"},
        {update, "{'a': 1}", "", "2", "{'a': 1}"},
        {update, "{'a': 1}", "..", "2", "{'a': 1}"},
    };
    for (const WriteCase& c : cases) {
        py::Ref root = eval(c.root), value = eval(c.value);
        ASSERT_TRUE(root && value) << c.root << " " << c.value;
        bind("root", root.get());
        std::string got = result([&] { c.writer(root.get(), c.path, value.get()); }, c.view);
        EXPECT_EQ(got, c.expected) << (c.writer == set ? "set_nested_value" : "deep_update_at_path") << " on "
                                 << c.root << " at '" << c.path << "' with " << c.value;
    }
}

TEST_F(Paths, MergesInPlace) {
    struct Case {
        const char* target;
        const char* source;
        const char* expected;
        const char* view = "root";
    } cases[] = {
        {"{'a': {'y': 2}}", "{'a': {'x': 1}}", "{'a': {'y': 2, 'x': 1}}"},
        {"{'a': {'y': 2}}", "{'a': 5}", "{'a': 5}"},
        {"{'a': 5}", "{'a': {'x': 1}}", "{'a': {'x': 1}}"},
        // A dict moves over as the very object of the source.
        {"{}", "{'a': {'x': 1}}", "True", "root['a'] is source['a']"},
        // Dotted str keys are paths; brackets alone are not.
        {"{}", "{'a.b': 1}", "{'a': {'b': 1}}"},
        {"{}", "{'a[0]': 1}", "{'a[0]': 1}"},
        {"{'l': [{}]}", "{'l[0].x': 1}", "{'l': [{'x': 1}]}"},
        {"{'a': {'b': {'x': 1}}}", "{'a.b': {'y': 2}}", "{'a': {'b': {'x': 1, 'y': 2}}}"},
        {"{'n': NS()}", "{'n.x': Proxy(1)}", "{'n': namespace(x=1)}"},
        {"{}", "{'\\udcff.x': 1}", "{'\\udcff': {'x': 1}}"},
        {"{}", "{1: {'x': 1}, (2, 3): 4}", "{1: {'x': 1}, (2, 3): 4}"},
        // In source order: a later plain key merges into what a path created.
        {"{}", "{'a.b': 1, 'a': {'c': 2}}", "{'a': {'b': 1, 'c': 2}}"},
        // Values are unwrapped, non-dicts twice.
        {"{}", "{'a': Proxy(1)}", "{'a': 1}"},
        {"{}", "{'a': Proxy(Proxy(1))}", "{'a': 1}"},
        {"{'a': {'y': 2}}", "{'a': Proxy({'x': 1})}", "{'a': {'y': 2, 'x': 1}}"},
        {"Seen()", "{'a': 1}", "{'a': ('seen', 1)}"},
        // Failures stop the merge; earlier keys stay merged.
        {"{'a': 3}", "{'k': 1, 'a.b': 2, 'z': 3}", "TypeError: Cannot set key 'b' on non-dict type 'int' / {'a': 3, 'k': 1}"},
        {"RefusingDict()", "{'a': 1}", "ValueError: refused / {}"},
        {"{}", "5", "TypeError: 'int' object cannot be converted to 'PyDict' / {}"},
    };
    for (const Case& c : cases) {
        py::Ref target = eval(c.target), source = eval(c.source);
        ASSERT_TRUE(target && source) << c.target << " " << c.source;
        bind("root", target.get());
        bind("source", source.get());
        std::string got = result([&] { norva::paths::deep_update_inplace(target.get(), source.get()); }, c.view);
        EXPECT_EQ(got, c.expected) << "merging " << c.source << " into " << c.target;
    }
}

TEST_F(Paths, DeepMergeRaisesRecursionErrorAndRecovers) {
    run("deep_target, deep_source = nested(100000), nested(100000)\n"
        "cycle = {}\n"
        "cycle['k'] = cycle\n"
        "shallow_target, shallow_source = nested(500), nested(501)\n");
    struct Case {
        const char* target;
        const char* source;
    } deep[] = {{"deep_target", "deep_source"}, {"cycle", "cycle"}};
    for (const Case& c : deep) {
        py::Ref target = eval(c.target), source = eval(c.source);
        std::string got = outcome([&] { norva::paths::deep_update_inplace(target.get(), source.get()); });
        EXPECT_EQ(got.substr(0, got.find(':')), "RecursionError") << c.target << ": " << got;
    }
    // The guard was released on the way out: a merge well within the limit still works.
    py::Ref target = eval("shallow_target"), source = eval("shallow_source");
    EXPECT_EQ(outcome([&] { norva::paths::deep_update_inplace(target.get(), source.get()); }), "ok");
    EXPECT_EQ(repr_of("shallow_target == shallow_source"), "True");
}

TEST_F(Paths, UnwrapReturnsTheTargetOrTheValue) {
    run("target = {'x': 1}\nproxy = Proxy(target)\nbad = BadProxy()\nplain = NS()\n");
    struct Case {
        const char* value;
        const char* expected;
    } cases[] = {{"proxy", "target"}, {"bad", "bad"}, {"plain", "plain"}, {"target", "target"}};
    for (const Case& c : cases) {
        py::Ref value = eval(c.value), expected = eval(c.expected);
        py::Ref got = norva::paths::unwrap(value.get());
        EXPECT_EQ(got.get(), expected.get()) << c.value;
        EXPECT_FALSE(PyErr_Occurred()) << c.value;
        PyErr_Clear();
    }
}

}  // namespace
