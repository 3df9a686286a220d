// A bounded broadcast channel of text messages.
//
// Every message is stored once in a ring of the last 128 and read by each receiver at its own
// position, so a slow receiver never holds up a publisher: once it falls out of the window it is
// told how many messages it missed. Blocking receivers wait on a condition variable without the
// interpreter lock; asyncio receivers cost no thread at all: they park a waiter, and a publish
// schedules the waiter's completion on its event loop, where the message is taken only if the
// future is still wanted.
#pragma once

#include "../py/ref.hpp"

#include <array>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace norva::signals {

inline constexpr std::size_t WINDOW = 128;  // capacity 100 asked for, raised to a power of two

struct Channel;

// One receiving side: its read position in the channel.
struct ReceiverState {
    std::shared_ptr<Channel> channel;
    std::uint64_t position = 0;  // guarded by channel->mutex
};

// A pending asyncio receive. Holds Python objects, so it is only created, completed and dropped
// while the interpreter lock is held.
struct AsyncWaiter {
    std::shared_ptr<ReceiverState> receiver;
    py::Ref future;
    py::Ref loop;
};

enum class Take { Message, Lagged, Closed, Empty };

struct Channel {
    std::mutex mutex;
    std::condition_variable ready;
    std::array<std::string, WINDOW> ring;
    std::uint64_t head = 0;  // sequence number of the next message
    std::size_t receivers = 0;
    bool closed = false;
    std::vector<std::shared_ptr<AsyncWaiter>> waiters;

    // Under `mutex`: the next message for `rx`, or why there is none.
    Take take(ReceiverState& rx, std::string& message, std::uint64_t& missed);
};

// The sending side. The channel closes when the last one is destroyed (with the interpreter lock
// held, since parked asyncio receivers are woken then).
class Sender {
public:
    Sender();
    ~Sender();
    Sender(const Sender&) = delete;
    Sender& operator=(const Sender&) = delete;

    // Number of live receivers the message went to; 0 (message dropped) when there are none.
    std::size_t publish(std::string_view message);
    std::shared_ptr<ReceiverState> subscribe();
    const std::shared_ptr<Channel>& channel() const { return channel_; }

private:
    std::shared_ptr<Channel> channel_;
};

// Live-receiver bookkeeping for the Python receiver object.
void release_receiver(ReceiverState& rx);

// Schedule the completion of each waiter on its loop (interpreter lock held).
void wake(std::vector<std::shared_ptr<AsyncWaiter>> waiters);

}  // namespace norva::signals
