// Python faces of ConflictManager and RetryDecision.
#include "conflict.hpp"
#include "engine_py.hpp"

namespace norva::engine {

namespace {

ConflictManager make(std::uint32_t max_retries, std::uint64_t base_backoff_ms) {
    return ConflictManager(max_retries, base_backoff_ms);
}

py::Ref report_conflict(ConflictManager& self, std::string_view key) { return py::wrap(self.report_conflict(key)); }
void report_success(ConflictManager& self, std::string_view key) { self.report_success(key); }
std::uint32_t get_failure_count(ConflictManager& self, std::string_view key) { return self.get_failure_count(key); }
bool is_blocked(ConflictManager& self, std::optional<std::string_view> requester) { return self.is_blocked(requester); }

bool should_retry(RetryDecision& d) { return d.should_retry; }
std::uint64_t wait_ms(RetryDecision& d) { return d.wait_ms; }

}  // namespace

PyTypeObject* conflict_manager_type() {
    return py::define_class<ConflictManager, make>({
        .name = "norva_core.ConflictManager",
        .signature = "(max_retries=5, base_backoff_ms=2)",
        .doc = "Manages conflict resolution policies (Backoff, Priority)",
        .methods =
            {
                py::method<report_conflict>("report_conflict($self, key)",
                                            "Report a conflict failure for a process/key.\n"
                                            "Returns a decision on whether to retry and how long to wait."),
                py::method<report_success>("report_success($self, key)", "Report success to reset counters."),
                py::method<get_failure_count>("get_failure_count($self, key)",
                                              "Get current failure count (Internal Diagnostic)"),
                py::method<is_blocked>("is_blocked($self, requester=None)", "Check if action is blocked by VIP"),
            },
    });
}

PyTypeObject* retry_decision_type() {
    return py::define_class<RetryDecision>({
        .name = "norva_core.RetryDecision",
        .properties = {py::property<should_retry>("should_retry"), py::property<wait_ms>("wait_ms")},
        .slots = {{Py_tp_repr, reinterpret_cast<void*>(py::repr_slot<RetryDecision>)}},
    });
}

}  // namespace norva::engine
