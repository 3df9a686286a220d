#include "zones.hpp"

#include <atomic>
#include <mutex>
#include <string>
#include <unordered_map>

namespace norva::zones {

namespace {

constexpr std::string_view names[] = {"Data", "Signal", "Meta", "Heavy", "Log", "Constant", "Private"};
constexpr std::uint8_t physics[] = {15, 3, 5, 5, 3, 1, 0};

bool starts_with(std::string_view s, std::string_view prefix) noexcept {
    return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

// The zone a single segment claims, if any. The prefixes are disjoint, so order does not matter.
std::optional<ContextZone> classify(std::string_view seg) noexcept {
    if (seg.size() < 3) return std::nullopt;
    switch (seg[0]) {
        case 's':
            if (seg == "sig" || starts_with(seg, "sig_")) return ContextZone::Signal;
            break;
        case 'c':
            if (starts_with(seg, "cmd_")) return ContextZone::Signal;
            if (starts_with(seg, "const_")) return ContextZone::Constant;
            break;
        case 'm':
            if (seg == "meta" || starts_with(seg, "meta_")) return ContextZone::Meta;
            break;
        case 'h':
            if (seg == "heavy" || starts_with(seg, "heavy_")) return ContextZone::Heavy;
            break;
        case 'l':
            if (seg == "log" || starts_with(seg, "log_")) return ContextZone::Log;
            break;
        case 'a':
            if (starts_with(seg, "audit_")) return ContextZone::Log;
            break;
        case 'i':
            if (starts_with(seg, "internal_")) return ContextZone::Private;
            break;
        default:
            break;
    }
    return std::nullopt;
}

bool is_separator(char c) noexcept { return c == '.' || c == '['; }

// Calls `visit(segment)` for each segment of the normalised path until it returns true. A segment
// that contains ']' is rebuilt without it in `scratch`; every other segment is a view into `path`.
template <class Visit>
void for_each_segment(std::string_view path, std::string& scratch, Visit&& visit) {
    std::size_t start = 0;
    while (true) {
        std::size_t end = start;
        bool has_close = false;
        while (end < path.size() && !is_separator(path[end])) {
            has_close |= path[end] == ']';
            ++end;
        }
        std::string_view seg = path.substr(start, end - start);
        if (has_close) {
            scratch.clear();
            for (char c : seg)
                if (c != ']') scratch.push_back(c);
            seg = scratch;
        }
        if (visit(seg)) return;
        if (end >= path.size()) return;
        start = end + 1;
    }
}

struct StringHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};

struct Registry {
    std::mutex lock;
    std::unordered_map<std::string, std::uint8_t, StringHash, std::equal_to<>> map;
    std::atomic<bool> empty{true};  // read without the lock: the common case is no overrides at all
};

Registry& registry() {
    static auto* r = new Registry;  // process-wide, never destroyed
    return *r;
}

}  // namespace

std::string_view zone_name(ContextZone zone) noexcept { return names[static_cast<int>(zone)]; }

std::uint8_t zone_physics(ContextZone zone) noexcept { return physics[static_cast<int>(zone)]; }

ContextZone resolve_zone(std::string_view path) noexcept {
    thread_local std::string scratch;
    ContextZone zone = ContextZone::Data;
    for_each_segment(path, scratch, [&](std::string_view seg) {
        if (auto z = classify(seg)) {
            zone = *z;
            return true;
        }
        return false;
    });
    return zone;
}

std::optional<std::uint8_t> get_physics_override(std::string_view path) {
    Registry& r = registry();
    if (r.empty.load(std::memory_order_acquire)) return std::nullopt;
    std::lock_guard guard(r.lock);
    if (auto it = r.map.find(path); it != r.map.end()) return it->second;
    // The dotted prefixes of the normalised path, longest first.
    thread_local std::string normalised;
    normalised.clear();
    for (char c : path) {
        if (c == '[') normalised.push_back('.');
        else if (c != ']') normalised.push_back(c);
    }
    std::string_view full = normalised;
    std::size_t end = full.size();
    while (true) {
        if (auto it = r.map.find(full.substr(0, end)); it != r.map.end()) return it->second;
        std::size_t dot = full.rfind('.', end == 0 ? 0 : end - 1);
        if (dot == std::string_view::npos || end == 0) return std::nullopt;
        end = dot;
    }
}

std::uint8_t zone_mask(std::string_view path) {
    if (auto o = get_physics_override(path)) return *o;
    return zone_physics(resolve_zone(path));
}

std::uint8_t lens(std::uint8_t mask, std::string_view path) {
    if ((mask & ADMIN) && resolve_zone(path) != ContextZone::Constant) return ALL_MASK;
    return static_cast<std::uint8_t>(mask & zone_mask(path));
}

void register_physics_override(std::string_view path, std::uint8_t caps) {
    Registry& r = registry();
    std::lock_guard guard(r.lock);
    r.map.insert_or_assign(std::string(path), caps);
    r.empty.store(false, std::memory_order_release);
}

void clear_physics_overrides() noexcept {
    Registry& r = registry();
    std::lock_guard guard(r.lock);
    r.map.clear();
    r.empty.store(true, std::memory_order_release);
}

}  // namespace norva::zones
