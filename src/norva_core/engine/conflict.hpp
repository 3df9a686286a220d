// Conflict back-off: exponential waits with jitter per key, and priority for a key that has been
// refused too often (the VIP holder).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace norva::engine {

struct RetryDecision {
    bool should_retry;
    std::uint64_t wait_ms;

    std::string repr() const;
};

class ConflictManager {
public:
    explicit ConflictManager(std::uint32_t max_retries = 5, std::uint64_t base_backoff_ms = 2);

    RetryDecision report_conflict(std::string_view key);
    void report_success(std::string_view key);
    std::uint32_t get_failure_count(std::string_view key) const;
    bool is_blocked(std::optional<std::string_view> requester) const;

    // base × 2^min(n, 10) × jitter, saturating instead of wrapping; jitter in [0.8, 1.2).
    static std::uint64_t backoff_ms(std::uint64_t base, std::uint32_t n, double jitter) noexcept;

private:
    struct StringHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
    };
    // Shared so the engine and its callers can hold one manager; locked in the order counts, VIP.
    struct Counts {
        std::mutex mutex;
        std::unordered_map<std::string, std::uint32_t, StringHash, std::equal_to<>> table;
    };
    struct Vip {
        std::mutex mutex;
        std::optional<std::string> holder;
    };
    std::shared_ptr<Counts> counts_;
    std::shared_ptr<Vip> vip_;
    std::uint64_t base_backoff_ms_;
    std::uint32_t max_retries_;
};

}  // namespace norva::engine
