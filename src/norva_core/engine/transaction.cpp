#include "transaction.hpp"

#include "../access/zones.hpp"
#include "../module/exceptions.hpp"
#include "../py/borrow.hpp"
#include "../py/compat.hpp"
#include "../py/object.hpp"
#include "../py/text.hpp"
#include "engine.hpp"
#include "paths.hpp"

#include <algorithm>
#include <numeric>

namespace norva::engine {

namespace {

constexpr const char* kCacheReentry =
    "Transaction shadow cache re-entered: a deep copy made by get_shadow called back into this transaction";
constexpr const char* kLogReentry = "Transaction delta log re-entered while it is being read or replayed";
constexpr const char* kRootsReentry = "Transaction root-shadow map re-entered";
constexpr const char* kSourcesReentry = "Transaction path-source map re-entered";

bool is_heavy(std::string_view path) { return zones::resolve_zone(path) == zones::ContextZone::Heavy; }

std::string_view root_key(std::string_view path) { return path.substr(0, path.find_first_of(".[")); }

// Truth of shadow == source, with the element-wise fallback through all(). Errors count as a
// change and are never raised.
bool unchanged(PyObject* shadow, PyObject* source) {
    py::Ref eq = py::Ref::steal(PyObject_RichCompare(shadow, source, Py_EQ));
    if (!eq) {
        PyErr_Clear();
        return false;
    }
    int truth = PyObject_IsTrue(eq.get());
    if (truth >= 0) return truth == 1;
    PyErr_Clear();
    py::Ref all = py::Ref::steal(PyObject_CallMethodNoArgs(eq.get(), NORVA_ID("all")));
    if (!all) {
        PyErr_Clear();
        return false;
    }
    truth = PyObject_IsTrue(all.get());
    if (truth < 0) {
        PyErr_Clear();
        return false;
    }
    return truth == 1;
}

template <class Map>
int visit_map(Map& m, visitproc visit, void* arg) {
    for (auto& [k, v] : m) Py_VISIT(v.get());
    return 0;
}

}  // namespace

// ---- change tracker ---------------------------------------------------------------------------

void ChangeTracker::log_delta(std::string path, py::Ref old_value, py::Ref new_value) {
    py::GilLock lock(log_mutex_, kLogReentry);
    log_.push_back({std::move(path), "SET", std::move(new_value), std::move(old_value)});
}

py::Ref ChangeTracker::get_shadow(PyObject* value, const std::optional<std::string>& path) {
    py::GilLock lock(cache_mutex_, kCacheReentry);
    if (auto it = cache_.find(value); it != cache_.end()) return it->second.shadow.copy();
    if (path && is_heavy(*path)) {
        cache_.emplace(value, Shadow{py::Ref::borrow(value), py::Ref::borrow(value)});
        return py::Ref::borrow(value);
    }
    py::Ref copy_module = py::check(PyImport_ImportModule("copy"));
    py::Ref shadow = py::Ref::steal(PyObject_CallMethodOneArg(copy_module.get(), NORVA_ID("deepcopy"), value));
    if (!shadow) {
        py::Ref exc = py::take_exception();
        std::string where = path ? "Some(" + py::debug_quote(*path) + ")" : "None";
        throw py::error(PyExc_RuntimeError,
                        py::fmt("Transaction isolation failure: cannot deepcopy object of type '{}' at path {}. "
                                "Store non-copyable objects in Heavy Zone instead. Original error: {}",
                                py::type_name(value), where, py::exception_text(exc.get())));
    }
    if (PyObject_SetAttr(shadow.get(), NORVA_ID("_lock_manager"), Py_None) < 0) PyErr_Clear();
    cache_.emplace(value, Shadow{shadow.copy(), py::Ref::borrow(value)});
    if (path) {
        std::string_view root = root_key(*path);
        {
            py::GilLock roots(roots_mutex_, kRootsReentry);
            if (roots_.find(root) == roots_.end()) roots_.emplace(std::string(root), shadow.copy());
        }
        py::GilLock sources(sources_mutex_, kSourcesReentry);
        sources_.insert_or_assign(*path, py::Ref::borrow(value));
    }
    return shadow;
}

bool ChangeTracker::is_known_shadow(PyObject* obj) {
    py::GilLock lock(cache_mutex_, kCacheReentry);
    auto it = cache_.find(obj);
    return it != cache_.end() && it->second.source.get() == obj;
}

void ChangeTracker::infer_shadow_deltas() {
    std::vector<std::pair<std::string, py::Ref>> pairs;
    {
        py::GilLock lock(sources_mutex_, kSourcesReentry);
        for (const auto& [path, source] : sources_) pairs.emplace_back(path, source.copy());
    }
    std::vector<DeltaEntry> changed;
    for (auto& [path, source] : pairs) {
        py::Ref shadow;
        {
            py::GilLock lock(cache_mutex_, kCacheReentry);
            auto it = cache_.find(source.get());
            if (it == cache_.end()) continue;
            shadow = it->second.shadow.copy();
        }
        if (shadow.get() == source.get()) continue;
        {
            py::GilLock lock(log_mutex_, kLogReentry);
            if (inferred_.count({path, shadow.get()})) continue;
        }
        if (unchanged(shadow.get(), source.get())) continue;
        changed.push_back({path, "SET", std::move(shadow), std::move(source)});
    }
    if (changed.empty()) return;
    py::GilLock lock(log_mutex_, kLogReentry);
    for (DeltaEntry& e : changed) {
        // A comparison above may have run code that logged the same pair meanwhile.
        if (!inferred_.emplace(e.path, e.new_value.get()).second) continue;
        log_.push_back(std::move(e));
    }
}

py::Ref ChangeTracker::build_pending_from_deltas(PyObject* pending_data) {
    infer_shadow_deltas();
    py::Ref r = py::check(PyDict_New());
    {
        py::GilLock lock(log_mutex_, kLogReentry);
        // Entries are only appended, and re-entry is refused, so indexes stay valid.
        for (std::size_t i = 0; i < log_.size(); ++i) {
            const DeltaEntry& e = log_[i];
            if (e.op != "SET" || !e.new_value) continue;
            py::Ref value = e.new_value.copy();
            paths::set_nested_value(r.get(), e.path, value.get());
        }
    }
    if (PyDict_GET_SIZE(pending_data) > 0) paths::deep_update_inplace(r.get(), pending_data);
    return r;
}

py::Ref ChangeTracker::get_shadow_updates(PyObject* pending_data) {
    py::Ref result = py::check(PyDict_New());
    {
        py::GilLock roots(roots_mutex_, kRootsReentry);
        py::GilLock log(log_mutex_, kLogReentry);
        std::set<std::string_view> keys;
        for (const DeltaEntry& e : log_) keys.insert(root_key(e.path));
        for (std::string_view k : keys) {
            auto it = roots_.find(k);
            if (it == roots_.end()) continue;
            py::Ref key = py::str(k);
            py::check_status(PyDict_SetItem(result.get(), key.get(), it->second.get()));
        }
    }
    py::check_status(PyDict_Update(result.get(), pending_data));
    return result;
}

std::vector<std::string> ChangeTracker::delta_paths() {
    py::GilLock lock(log_mutex_, kLogReentry);
    std::vector<std::string> out;
    out.reserve(log_.size());
    for (const DeltaEntry& e : log_) out.push_back(e.path);
    return out;
}

void ChangeTracker::replay_by_length(PyObject* data, PyObject* heavy) {
    py::GilLock lock(log_mutex_, kLogReentry);
    std::vector<std::size_t> order(log_.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return log_[a].path.size() < log_[b].path.size(); });
    for (std::size_t i : order) {
        const DeltaEntry& e = log_[i];
        if (!e.new_value) continue;
        std::string_view path = e.path;
        PyObject* target = data;
        if (is_heavy(path)) {
            target = heavy;
            if (path.starts_with("heavy.")) path.remove_prefix(6);
        }
        py::Ref value = e.new_value.copy();
        paths::set_nested_value(target, path, value.get());
    }
}

int ChangeTracker::traverse(visitproc visit, void* arg) {
    for (DeltaEntry& e : log_) {
        Py_VISIT(e.new_value.get());
        Py_VISIT(e.old_value.get());
    }
    for (auto& [id, s] : cache_) {
        Py_VISIT(s.shadow.get());
        Py_VISIT(s.source.get());
    }
    if (int r = visit_map(roots_, visit, arg)) return r;
    return visit_map(sources_, visit, arg);
}

void ChangeTracker::clear() {
    // Moved out first: dropping references may run code that looks at the tracker.
    auto log = std::move(log_);
    auto cache = std::move(cache_);
    auto roots = std::move(roots_);
    auto sources = std::move(sources_);
    log_.clear();
    cache_.clear();
    roots_.clear();
    sources_.clear();
    inferred_.clear();
}

// ---- transaction ------------------------------------------------------------------------------

Transaction Transaction::create(py::Ref engine, std::uint64_t write_timeout_ms) {
    Transaction tx;
    tx.write_timeout_ms = write_timeout_ms;
    tx.engine = std::move(engine);
    tx.pending_data = py::check(PyDict_New());
    tx.pending_heavy = py::check(PyDict_New());
    tx.pending_signal = py::check(PyList_New(0));
    return tx;
}

void Transaction::update(PyObject* data, PyObject* heavy, PyObject* signal) {
    if (data != nullptr) {
        if (!PyDict_Check(data)) throw py::error(exc::ContextError, "update data must be a dict");
        paths::deep_update_inplace(pending_data.get(), data);
    }
    if (heavy != nullptr) {
        if (!PyDict_Check(heavy)) throw py::error(exc::ContextError, "heavy update data must be a dict");
        paths::deep_update_inplace(pending_heavy.get(), heavy);
    }
    if (signal != nullptr) py::check_status(PyList_Append(pending_signal.get(), signal));
}

void Transaction::commit() {
    // Deltas of the data zone are replayed into a fresh dict and the pending data is merged over
    // them, so explicit update data wins over deltas for the same path, as in the pending_data
    // preview. The pending data itself keeps only what update() was given, so each commit
    // replays the whole log onto it again. Heavy-zone deltas land in the pending heavy dict.
    py::Ref data = py::check(PyDict_New());
    tracker->replay_by_length(data.get(), pending_heavy.get());
    paths::deep_update_inplace(data.get(), pending_data.get());
    committed_data = std::move(data);
}

namespace {

std::uint64_t elapsed_ms(std::chrono::steady_clock::time_point since) {
    auto d = std::chrono::steady_clock::now() - since;
    auto s = std::chrono::duration_cast<std::chrono::seconds>(d);
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(d - s);
    return static_cast<std::uint64_t>(s.count()) * 1000 + static_cast<std::uint64_t>(ns.count()) / 1'000'000;
}

}  // namespace

void Transaction::finish() {
    if (start && elapsed_ms(*start) > write_timeout_ms) {
        throw py::error(exc::WriteTimeoutError, py::fmt("Transaction timed out after {}ms (limit {}ms)",
                                                        elapsed_ms(*start), write_timeout_ms));
    }
    py::Ref engine_obj = engine.copy();  // the engine stays alive for the whole exit
    NorvaEngine& eng = py::native<NorvaEngine>(engine_obj.get());
    std::shared_ptr<py::GilMutex> commit_lock = eng.commit_lock;
    py::GilLock committing(*commit_lock, kCommitReentry);

    py::Ref state = py::check(PyObject_GetAttr(engine_obj.get(), NORVA_ID("state")));
    tracker->infer_shadow_deltas();
    commit();
    py::Ref successor = py::check(PyObject_CallMethodObjArgs(state.get(), NORVA_ID("update"), committed_data.get(),
                                                             pending_heavy.get(), pending_signal.get(), nullptr));
    {
        py::SharedBorrow access(py::as_object<NorvaEngine>(engine_obj.get())->borrow);
        validate_schema(eng, successor.get(), "Schema Violation: {}");
    }
    py::check(PyObject_CallMethodOneArg(engine_obj.get(), NORVA_ID("commit_state"), successor.get()));
    {
        py::SharedBorrow access(py::as_object<NorvaEngine>(engine_obj.get())->borrow);
        move_messages(*outbox, *eng.outbox);
    }
}

void Transaction::flush_outbox() {
    NorvaEngine& eng = py::native<NorvaEngine>(engine.get());
    py::SharedBorrow access(py::as_object<NorvaEngine>(engine.get())->borrow);
    move_messages(*outbox, *eng.outbox);
}

int Transaction::traverse(visitproc visit, void* arg) {
    Py_VISIT(engine.get());
    Py_VISIT(pending_data.get());
    Py_VISIT(pending_heavy.get());
    Py_VISIT(pending_signal.get());
    Py_VISIT(committed_data.get());
    if (int r = OutboxList::traverse(outbox, visit, arg)) return r;
    if (tracker && tracker.use_count() == 1) return tracker->traverse(visit, arg);
    return 0;
}

void Transaction::clear() {
    // The containers are emptied, not dropped, so code that still reaches this transaction while
    // a cycle is collected finds it whole. The engine holds no transaction.
    for (PyObject* d : {pending_data.get(), pending_heavy.get(), committed_data.get()}) {
        if (d != nullptr) PyDict_Clear(d);
    }
    if (pending_signal && PyList_SetSlice(pending_signal.get(), 0, PY_SSIZE_T_MAX, nullptr) < 0) PyErr_Clear();
    if (outbox && outbox.use_count() == 1) outbox->take_all();
    if (tracker && tracker.use_count() == 1) tracker->clear();
}

}  // namespace norva::engine
