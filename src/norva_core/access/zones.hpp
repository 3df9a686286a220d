// Capabilities and zones: who may do what at which path.
//
// Every access through a proxy or guard is decided from the capability mask the accessor carries
// and the zone its path falls into. Zones come from the names of the path's segments; each zone
// has a default mask (its physics), which process-wide overrides can replace per path.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace norva::zones {

enum Capability : std::uint8_t {
    READ = 1,
    APPEND = 2,
    UPDATE = 4,
    DELETE = 8,
    ADMIN = 16,
};

inline constexpr std::uint8_t DEFAULT_MASK = READ | APPEND | UPDATE | DELETE;  // 15
inline constexpr std::uint8_t ALL_MASK = DEFAULT_MASK | ADMIN;                  // 31

enum class ContextZone : std::uint8_t { Data = 0, Signal, Meta, Heavy, Log, Constant, Private };

// Debug name of a zone, as messages print it ("Signal", "Meta", ...).
std::string_view zone_name(ContextZone zone) noexcept;

// The default mask of a zone.
std::uint8_t zone_physics(ContextZone zone) noexcept;

// The zone of a path: the first segment (left to right) that a rule claims decides; Data when
// none does. Brackets count as dots ("items[0]" is "items.0") and closing brackets vanish.
ContextZone resolve_zone(std::string_view path) noexcept;

// The override registered for the path itself, or else for its longest dotted prefix.
// Returns at once while the registry is empty.
std::optional<std::uint8_t> get_physics_override(std::string_view path);

// The override when one applies, else the zone physics of the path.
std::uint8_t zone_mask(std::string_view path);

// The effective mask through which a holder of `mask` may change `path`: everything but the
// Constant zone for ADMIN holders, otherwise the mask narrowed by the path's zone mask.
std::uint8_t lens(std::uint8_t mask, std::string_view path);

void register_physics_override(std::string_view path, std::uint8_t caps);
void clear_physics_overrides() noexcept;

}  // namespace norva::zones
