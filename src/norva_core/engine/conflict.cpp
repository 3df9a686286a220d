#include "conflict.hpp"

#include "../py/text.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <random>

namespace norva::engine {

namespace {

double jitter() {
    thread_local std::mt19937_64 gen{std::random_device{}()};
    thread_local std::uniform_real_distribution<double> dist(0.8, 1.2);
    return dist(gen);
}

}  // namespace

std::string RetryDecision::repr() const {
    return py::fmt("RetryDecision(retry={}, wait={}ms)", should_retry ? "true" : "false", wait_ms);
}

ConflictManager::ConflictManager(std::uint32_t max_retries, std::uint64_t base_backoff_ms)
    : counts_(std::make_shared<Counts>()), vip_(std::make_shared<Vip>()), base_backoff_ms_(base_backoff_ms),
      max_retries_(max_retries) {}

std::uint64_t ConflictManager::backoff_ms(std::uint64_t base, std::uint32_t n, double factor) noexcept {
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    const unsigned shift = std::min<std::uint32_t>(n, 10);
    // A shift that would push set bits past the top saturates instead of wrapping.
    const std::uint64_t shifted = base > (kMax >> shift) ? kMax : base << shift;
    const double wait = static_cast<double>(shifted) * factor;
    if (!(wait > 0.0)) return 0;  // negative or NaN
    if (wait >= 18446744073709551616.0) return kMax;
    return static_cast<std::uint64_t>(wait);
}

RetryDecision ConflictManager::report_conflict(std::string_view key) {
    std::lock_guard counts_lock(counts_->mutex);
    auto it = counts_->table.find(key);
    if (it == counts_->table.end()) it = counts_->table.emplace(std::string(key), 0).first;
    std::lock_guard vip_lock(vip_->mutex);
    auto& holder = vip_->holder;
    const std::uint32_t n = it->second;
    if (holder && *holder != key) return {true, 50};
    if (n < max_retries_) {
        it->second = n + 1;
        return {true, backoff_ms(base_backoff_ms_, n, jitter())};
    }
    if (!holder) holder = std::string(key);
    return {true, 1};
}

void ConflictManager::report_success(std::string_view key) {
    std::lock_guard counts_lock(counts_->mutex);
    if (auto it = counts_->table.find(key); it != counts_->table.end()) counts_->table.erase(it);
    std::lock_guard vip_lock(vip_->mutex);
    if (vip_->holder && *vip_->holder == key) vip_->holder.reset();
}

std::uint32_t ConflictManager::get_failure_count(std::string_view key) const {
    std::lock_guard lock(counts_->mutex);
    auto it = counts_->table.find(key);
    return it == counts_->table.end() ? 0 : it->second;
}

bool ConflictManager::is_blocked(std::optional<std::string_view> requester) const {
    std::lock_guard lock(vip_->mutex);
    if (!vip_->holder) return false;
    if (!requester) return true;
    return *requester != *vip_->holder;
}

}  // namespace norva::engine
