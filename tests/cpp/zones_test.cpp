// Zone resolution and the override registry: the segment rules and the prefix lookup.
#include <gtest/gtest.h>

#include "access/zones.hpp"

using namespace norva::zones;

TEST(Zones, ResolveTable) {
    struct {
        const char* path;
        ContextZone zone;
    } cases[] = {
        {"", ContextZone::Data},
        {"...", ContextZone::Data},
        {"domain.counter", ContextZone::Data},
        {"domain.sig_ready.count", ContextZone::Signal},
        {"sig", ContextZone::Signal},
        {"sig_", ContextZone::Signal},
        {"cmd_", ContextZone::Signal},
        {"cmd", ContextZone::Data},
        {"x.meta", ContextZone::Meta},
        {"x.metadata", ContextZone::Data},
        {"x.meta_", ContextZone::Meta},
        {"meta_info.const_limit", ContextZone::Meta},
        {"a.b[const_x]", ContextZone::Constant},
        {"heavy", ContextZone::Heavy},
        {"heavyweight", ContextZone::Data},
        {"heavy_blob.sig_flag", ContextZone::Heavy},
        {"log", ContextZone::Log},
        {"logs", ContextZone::Data},
        {"audit_trail", ContextZone::Log},
        {"audit", ContextZone::Data},
        {"const", ContextZone::Data},
        {"internal", ContextZone::Data},
        {"internal_", ContextZone::Private},
        {"items[0].internal_x", ContextZone::Private},
        {"domain[sig_x]", ContextZone::Signal},
        {"x.me]ta", ContextZone::Meta},  // closing brackets vanish before splitting
        {"signal", ContextZone::Data},
        {"Sig", ContextZone::Data},
    };
    for (auto& c : cases) EXPECT_EQ(resolve_zone(c.path), c.zone) << c.path;
}

TEST(Zones, PhysicsAndNames) {
    EXPECT_EQ(zone_physics(ContextZone::Data), 15);
    EXPECT_EQ(zone_physics(ContextZone::Signal), 3);
    EXPECT_EQ(zone_physics(ContextZone::Private), 0);
    EXPECT_EQ(zone_name(ContextZone::Constant), "Constant");
}

TEST(Zones, OverridesApplyToPathAndDottedDescendants) {
    clear_physics_overrides();
    EXPECT_FALSE(get_physics_override("domain").has_value());
    register_physics_override("domain", 1);
    for (const char* p : {"domain", "domain.x", "domain[3].name", "domain.sig_x"}) EXPECT_EQ(zone_mask(p), 1) << p;
    EXPECT_EQ(zone_mask("dom"), 15);
    EXPECT_EQ(zone_mask("domainx"), 15);
    register_physics_override("domain.items", 7);
    EXPECT_EQ(zone_mask("domain.items[3].name"), 7);  // the longest prefix wins
    register_physics_override("domain.items", 9);
    EXPECT_EQ(zone_mask("domain.items"), 9);  // replaced
    clear_physics_overrides();
    EXPECT_EQ(zone_mask("domain.sig_x"), 3);
}

TEST(Zones, BracketedRegistrationsMatchOnlyExactly) {
    clear_physics_overrides();
    register_physics_override("domain.items[0]", 2);
    EXPECT_EQ(zone_mask("domain.items[0]"), 2);
    EXPECT_EQ(zone_mask("domain.items[0].name"), 15);
    register_physics_override("", 4);  // prefixes are whole segments: only an empty first one
    EXPECT_EQ(zone_mask(".x"), 4);
    EXPECT_EQ(zone_mask("anything.at.all"), 15);
    clear_physics_overrides();
}

TEST(Zones, Lens) {
    clear_physics_overrides();
    EXPECT_EQ(lens(15, "domain[const_limit]"), 1);
    EXPECT_EQ(lens(31, "domain.sig_flag"), 31);
    EXPECT_EQ(lens(31, "domain.const_limit"), 1 & 31);
    register_physics_override("domain.counter", 0);
    EXPECT_EQ(lens(15, "domain.counter"), 0);
    clear_physics_overrides();
}
