// Type objects of the engine and transaction classes, created on first use.
#pragma once

#include "../py/object.hpp"

namespace norva::engine {

PyTypeObject* norva_engine_type();
PyTypeObject* transaction_type();
PyTypeObject* outbox_collector_type();
PyTypeObject* outbox_msg_type();
PyTypeObject* outbox_type();  // not registered in the module
PyTypeObject* conflict_manager_type();
PyTypeObject* retry_decision_type();

}  // namespace norva::engine
