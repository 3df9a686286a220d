#pragma once

#include "../py/object.hpp"
#include "channel.hpp"

namespace norva::signals {

// A Python SignalHub holds one shared handle on a sending side; several hubs (a State's chain
// hands out new ones) may share it.
struct SignalHub {
    std::shared_ptr<Sender> sender;
};

PyTypeObject* signal_hub_type();
PyTypeObject* signal_receiver_type();

// A new Python SignalHub object on an existing sending side.
py::Ref new_hub(std::shared_ptr<Sender> sender);

}  // namespace norva::signals
