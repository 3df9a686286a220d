// Persistent hash map: agreement with a reference map under several hashing patterns, canonical
// shape, structural sharing, node ownership, failure handling and sharing across threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <map>
#include <new>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "state/champ.hpp"

namespace {

using norva::champ::Map;

std::uint64_t mix(std::uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// Hashing patterns, each with the map sizes it is run at. Those that pile keys into collision
// nodes (searched linearly) stop at a size where that stays quick.
struct MixHash {
    static std::uint64_t of(std::uint64_t k) { return mix(k); }
    static constexpr std::size_t sizes[] = {0, 1, 31, 32, 33, 1000, 100000};
};
// Small integers hashing to themselves: dense low bits, as integer keys usually give.
struct IdentityHash {
    static std::uint64_t of(std::uint64_t k) { return k; }
    static constexpr std::size_t sizes[] = {0, 1, 31, 32, 33, 1000, 100000};
};
// Five hash values: collision nodes with many keys each, on paths that part at the root.
struct FewHash {
    static std::uint64_t of(std::uint64_t k) { return mix(k) % 5; }
    static constexpr std::size_t sizes[] = {0, 1, 31, 32, 33, 1000};
};
// Only bits 52..63 vary: ten levels of single-child nodes above every split, and collisions.
struct TopBitsHash {
    static std::uint64_t of(std::uint64_t k) { return (mix(k) & 0xFFF) << 52; }
    static constexpr std::size_t sizes[] = {0, 1, 31, 32, 33, 1000};
};
// Keys 2j and 2j + 1 differ only in bit 63: each pair splits at the last level, below a long
// chain of single-child nodes, wherever its neighbours put it.
struct PairSplitHash {
    static std::uint64_t of(std::uint64_t k) { return (k >> 1) | (k << 63); }
    static constexpr std::size_t sizes[] = {0, 1, 31, 32, 33, 1000, 100000};
};
// Every key collides.
struct ZeroHash {
    static std::uint64_t of(std::uint64_t) { return 0; }
    static constexpr std::size_t sizes[] = {0, 1, 31, 32, 33, 1000};
};

// Counts node memory. Any fallible step of the test types can be made to fail: each draws on
// a shared budget, and the step that finds it spent throws as a failed allocation would.
struct Fault {
    static inline long budget = -1;  // negative: never fail
    static void step() {
        if (budget < 0) return;
        if (budget == 0) throw std::bad_alloc();
        --budget;
    }
};
struct Nodes {
    static inline std::atomic<long> live{0};
    static inline std::atomic<long> made{0};
};
struct CountingAllocation {
    static void* allocate(std::size_t bytes, std::size_t align) {
        Fault::step();
        void* p = ::operator new(bytes, std::align_val_t{align});
        ++Nodes::live;
        ++Nodes::made;
        return p;
    }
    static void deallocate(void* p, std::size_t bytes, std::size_t align) noexcept {
        --Nodes::live;
        ::operator delete(p, bytes, std::align_val_t{align});
    }
};

template <class H>
struct U64Traits : CountingAllocation {
    using Key = std::uint64_t;
    using Value = std::uint64_t;
    static std::uint64_t hash(const Key& k) { return H::of(k); }
    static bool equal(const Key& a, const Key& b) { return a == b; }
};

// A key or value that counts its live instances; copying it is a fallible step.
template <int Tag>
struct Probe {
    static inline std::atomic<long> live{0};
    std::uint64_t id;
    explicit Probe(std::uint64_t i) : id(i) { ++live; }
    Probe(const Probe& o) : id(o.id) {
        Fault::step();
        ++live;
    }
    Probe(Probe&& o) noexcept : id(o.id) { ++live; }
    Probe& operator=(const Probe&) = delete;
    ~Probe() { --live; }
};
using PKey = Probe<0>;
using PValue = Probe<1>;

template <class H>
struct ProbeTraits : CountingAllocation {
    using Key = PKey;
    using Value = PValue;
    static std::uint64_t hash(const Key& k) {
        Fault::step();
        return H::of(k.id);
    }
    static bool equal(const Key& a, const Key& b) {
        Fault::step();
        return a.id == b.id;
    }
};

using Model = std::unordered_map<std::uint64_t, std::uint64_t>;
using Shape = std::vector<std::tuple<unsigned, unsigned, unsigned>>;  // depth, entries, children

template <class M>
Shape shape_of(const M& m) {
    Shape s;
    m.for_each_node_for_test([&](const void*, unsigned depth, unsigned nd, unsigned nc) { s.emplace_back(depth, nd, nc); });
    return s;
}

template <class M>
std::vector<const void*> node_ids(const M& m) {
    std::vector<const void*> ids;
    m.for_each_node_for_test([&](const void* id, unsigned, unsigned, unsigned) { ids.push_back(id); });
    return ids;
}

template <class M>
std::set<const void*> node_set(const M& m) {
    auto ids = node_ids(m);
    return {ids.begin(), ids.end()};
}

template <class M>
std::vector<std::uint64_t> keys_in_order(const M& m) {
    std::vector<std::uint64_t> keys;
    m.for_each([&](const std::uint64_t& k, const std::uint64_t&) { keys.push_back(k); });
    return keys;
}

// Size, lookups of every key in [0, universe), single visits by for_each, the iterator's
// agreement with for_each, and well-formedness.
template <class H>
void expect_matches(const Map<U64Traits<H>>& m, const Model& model, std::uint64_t universe) {
    ASSERT_EQ(m.validate_for_test(), "");
    ASSERT_EQ(m.size(), model.size());

    std::size_t bad_lookups = 0;
    std::uint64_t first_bad = 0;
    for (std::uint64_t k = 0; k < universe; ++k) {
        const std::uint64_t* v = m.find(k);
        auto it = model.find(k);
        bool ok = it == model.end() ? v == nullptr : (v != nullptr && *v == it->second);
        // The precomputed-hash overload must land on the same entry.
        ok = ok && m.find(k, H::of(k)) == v;
        if (!ok && bad_lookups++ == 0) first_bad = k;
    }
    EXPECT_EQ(bad_lookups, 0u) << "first wrong lookup: key " << first_bad;

    std::unordered_map<std::uint64_t, int> seen;
    std::size_t wrong_values = 0;
    std::vector<std::uint64_t> order;
    m.for_each([&](const std::uint64_t& k, const std::uint64_t& v) {
        ++seen[k];
        order.push_back(k);
        auto it = model.find(k);
        if (it == model.end() || it->second != v) ++wrong_values;
    });
    EXPECT_EQ(wrong_values, 0u);
    EXPECT_EQ(seen.size(), model.size());
    EXPECT_TRUE(std::all_of(seen.begin(), seen.end(), [](const auto& p) { return p.second == 1; }));

    std::vector<std::uint64_t> iterated;
    for (const auto& e : m) iterated.push_back(e.key);
    EXPECT_EQ(iterated, order);
}

template <class H>
void run_against_model(std::size_t n, std::uint64_t seed) {
    using M = Map<U64Traits<H>>;
    std::mt19937_64 rng(seed);
    const std::uint64_t universe = 2 * n + 2;
    M m;
    Model model;
    auto put = [&](std::uint64_t k, std::uint64_t v) {
        if (rng() & 1) m = m.set(k, v);
        else m.set_in_place(k, v);
        model[k] = v;
    };
    auto erase = [&](std::uint64_t k) {
        m = m.erase(k);
        model.erase(k);
    };

    // Grows to exactly n; keys drawn twice along the way are overwrites.
    while (model.size() < n) put(rng() % universe, rng());
    {
        SCOPED_TRACE("after growing");
        expect_matches(m, model, universe);
    }

    // Churn around n: about half the keys drawn are present.
    for (std::size_t op = 0; op < n + 64; ++op) {
        std::uint64_t k = rng() % universe;
        if (rng() % 2) put(k, rng());
        else erase(k);
    }
    {
        SCOPED_TRACE("after churn");
        expect_matches(m, model, universe);
    }

    // Drains to empty, passing through the sizes where nodes fill up and dissolve.
    std::vector<std::uint64_t> rest;
    for (const auto& [k, v] : model) rest.push_back(k);
    std::shuffle(rest.begin(), rest.end(), rng);
    const std::set<std::size_t> checkpoints = {model.size() / 2, 33, 32, 31, 1, 0};
    for (std::uint64_t k : rest) {
        erase(k);
        if (checkpoints.count(model.size())) {
            SCOPED_TRACE("draining, size " + std::to_string(model.size()));
            expect_matches(m, model, universe);
        }
    }
    EXPECT_TRUE(m.empty());
    EXPECT_TRUE(m.begin() == m.end());
}

template <class H>
class ChampRandomized : public ::testing::Test {};
using HashPatterns = ::testing::Types<MixHash, IdentityHash, FewHash, TopBitsHash, PairSplitHash, ZeroHash>;
TYPED_TEST_SUITE(ChampRandomized, HashPatterns);

TYPED_TEST(ChampRandomized, AgreesWithReferenceMap) {
    for (std::size_t n : TypeParam::sizes) {
        SCOPED_TRACE("size " + std::to_string(n));
        run_against_model<TypeParam>(n, 0xC0FFEE + n);
        if (this->HasFatalFailure()) return;
    }
}

// One key set reached by different histories gives one trie.
TYPED_TEST(ChampRandomized, ShapeDependsOnlyOnKeySet) {
    using M = Map<U64Traits<TypeParam>>;
    std::mt19937_64 rng(7);
    std::vector<std::uint64_t> keys(600), extra(400);
    for (std::size_t i = 0; i < keys.size(); ++i) keys[i] = i * 3;
    for (std::size_t i = 0; i < extra.size(); ++i) extra[i] = i * 3 + 1;

    M by_set;
    for (std::uint64_t k : keys) by_set = by_set.set(k, k);

    M in_place;
    std::vector<std::uint64_t> shuffled = keys;
    std::shuffle(shuffled.begin(), shuffled.end(), rng);
    for (std::uint64_t k : shuffled) in_place.set_in_place(k, k);

    M shrunk;
    std::vector<std::uint64_t> all = keys;
    all.insert(all.end(), extra.begin(), extra.end());
    std::shuffle(all.begin(), all.end(), rng);
    for (std::uint64_t k : all) shrunk.set_in_place(k, k);
    std::shuffle(extra.begin(), extra.end(), rng);
    for (std::uint64_t k : extra) shrunk = shrunk.erase(k);

    for (const M* m : {&by_set, &in_place, &shrunk}) ASSERT_EQ(m->validate_for_test(), "");
    EXPECT_EQ(shape_of(in_place), shape_of(by_set));
    EXPECT_EQ(shape_of(shrunk), shape_of(by_set));
    // Entries sharing a full hash keep the order they arrived in; everything else is fixed.
    auto order = [](const M& m) {
        std::vector<std::uint64_t> keys = keys_in_order(m);
        for (auto run = keys.begin(); run != keys.end();) {
            auto end = std::find_if(run, keys.end(), [&](std::uint64_t k) { return TypeParam::of(k) != TypeParam::of(*run); });
            std::sort(run, end);
            run = end;
        }
        return keys;
    };
    EXPECT_EQ(order(in_place), order(by_set));
    EXPECT_EQ(order(shrunk), order(by_set));
}

// The exact tries for hand-picked hashes: where splits and collisions land at depth.
TEST(ChampShape, PlacementByHashBits) {
    using M = Map<U64Traits<IdentityHash>>;
    auto chain = [](unsigned levels) {
        Shape s;
        for (unsigned d = 0; d < levels; ++d) s.emplace_back(d, 0, 1);
        return s;
    };
    auto plus = [](Shape s, std::initializer_list<std::tuple<unsigned, unsigned, unsigned>> tail) {
        s.insert(s.end(), tail);
        return s;
    };
    const std::uint64_t top = std::uint64_t{1} << 63;
    struct {
        const char* what;
        std::vector<std::uint64_t> keys;
        Shape expected;
    } cases[] = {
        {"fragments differ at the root", {0, 1}, {{0, 2, 0}}},
        {"fragments differ one level down", {0, 1 << 5}, plus(chain(1), {{1, 2, 0}})},
        {"only bit 63 differs: split at the last level", {0, top}, plus(chain(12), {{12, 2, 0}})},
        {"bits 60..63 share the last level", {0, top, top >> 1, top >> 3}, plus(chain(12), {{12, 4, 0}})},
        {"bit 59 still belongs to level 11", {0, std::uint64_t{1} << 59}, plus(chain(11), {{11, 2, 0}})},
        {"entry beside a deeper split", {0, std::uint64_t{1} << 59, top}, plus(chain(11), {{11, 1, 1}, {12, 2, 0}})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        M m;
        for (std::uint64_t k : c.keys) m = m.set(k, k);
        EXPECT_EQ(m.validate_for_test(), "");
        EXPECT_EQ(shape_of(m), c.expected);
        for (std::uint64_t k : c.keys) EXPECT_NE(m.find(k), nullptr);
    }
}

TEST(ChampShape, FullHashCollisionsSitBelowEveryLevel) {
    using M = Map<U64Traits<ZeroHash>>;
    M m;
    for (std::uint64_t k = 0; k < 50; ++k) m.set_in_place(k, k);
    Shape expected;
    for (unsigned d = 0; d < 13; ++d) expected.emplace_back(d, 0, 1);
    expected.emplace_back(13, 50, 0);
    EXPECT_EQ(shape_of(m), expected);

    // Down to one key, the whole chain dissolves into the root.
    for (std::uint64_t k = 1; k < 50; ++k) m = m.erase(k);
    EXPECT_EQ(m.validate_for_test(), "");
    EXPECT_EQ(shape_of(m), (Shape{{0, 1, 0}}));
    ASSERT_NE(m.find(0), nullptr);
    EXPECT_EQ(*m.find(0), 0u);
}

// After an update, the nodes the new version does not share with the old one are exactly those
// on the path to the changed key, one allocation each; everything else is the same objects.
TEST(ChampSharing, OnlyThePathIsCopied) {
    using M = Map<U64Traits<MixHash>>;
    M base;
    for (std::uint64_t k = 0; k < 5000; k += 2) base.set_in_place(k, k);
    const auto base_nodes = node_set(base);

    enum Op { Set, Erase };
    struct {
        const char* what;
        Op op;
        std::uint64_t first;  // keys first, first + 2, ...
    } cases[] = {
        {"insert", Set, 1},
        {"overwrite", Set, 0},
        {"erase", Erase, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        for (std::uint64_t k = c.first; k < c.first + 400; k += 2) {
            const long made_before = Nodes::made;
            M next = c.op == Set ? base.set(k, k + 1) : base.erase(k);
            const long made = Nodes::made - made_before;
            const auto old_path = base.path_for_test(MixHash::of(k));
            const auto new_path = next.path_for_test(MixHash::of(k));
            const auto next_nodes = node_set(next);

            std::set<const void*> fresh, dropped;
            std::set_difference(next_nodes.begin(), next_nodes.end(), base_nodes.begin(), base_nodes.end(),
                                std::inserter(fresh, fresh.end()));
            std::set_difference(base_nodes.begin(), base_nodes.end(), next_nodes.begin(), next_nodes.end(),
                                std::inserter(dropped, dropped.end()));
            EXPECT_EQ(fresh, std::set<const void*>(new_path.begin(), new_path.end()));
            EXPECT_EQ(dropped, std::set<const void*>(old_path.begin(), old_path.end()));
            EXPECT_EQ(made, static_cast<long>(new_path.size()));
            ASSERT_EQ(next.validate_for_test(), "");
        }
    }

    // Lookups and misses change nothing and allocate nothing.
    const long made_before = Nodes::made;
    const void* root = base.path_for_test(0).front();
    M same = base.erase(1);
    for (std::uint64_t k = 0; k < 5000; ++k) (void)base.find(k);
    EXPECT_EQ(Nodes::made, made_before);
    EXPECT_EQ(same.path_for_test(0).front(), root);
    EXPECT_EQ(same.size(), base.size());
}

TEST(ChampPersistence, EveryVersionKeepsItsContents) {
    using M = Map<U64Traits<MixHash>>;
    std::mt19937_64 rng(11);
    const std::uint64_t universe = 6000;
    M m;
    Model model;
    std::vector<std::pair<M, Model>> versions;
    for (int op = 0; op < 20000; ++op) {
        std::uint64_t k = rng() % universe;
        switch (rng() % 3) {
            case 0: m = m.set(k, rng()), model[k] = *m.find(k); break;
            // In place on a map whose nodes a saved version may share.
            case 1: m.set_in_place(k, rng()), model[k] = *m.find(k); break;
            case 2: m = m.erase(k), model.erase(k); break;
        }
        if (op % 200 == 0) versions.emplace_back(m, model);
    }
    for (std::size_t i = 0; i < versions.size(); ++i) {
        SCOPED_TRACE("version " + std::to_string(i));
        expect_matches(versions[i].first, versions[i].second, universe);
        if (HasFatalFailure()) return;
    }
}

// set_in_place edits what its map owns alone and copies at the first node it shares.
TEST(ChampInPlace, LeavesSharedNodesAlone) {
    for (bool share_root : {true, false}) {
        SCOPED_TRACE(share_root ? "root shared" : "root owned, children shared");
        using M = Map<U64Traits<IdentityHash>>;
        M original;
        for (std::uint64_t k = 0; k < 3000; ++k) original.set_in_place(k, k);
        const auto ids = node_ids(original);
        const auto keys = keys_in_order(original);

        M edited = share_root ? original : original.set(99999, 0);
        Model model;
        for (std::uint64_t k = 0; k < 3000; ++k) model[k] = k;
        if (!share_root) model[99999] = 0;
        for (std::uint64_t k = 0; k < 6000; k += 7) {
            edited.set_in_place(k, k + 5);
            model[k] = k + 5;
        }
        EXPECT_EQ(node_ids(original), ids);
        EXPECT_EQ(keys_in_order(original), keys);
        std::size_t changed = 0;
        for (std::uint64_t k = 0; k < 3000; ++k) changed += *original.find(k) != k;
        EXPECT_EQ(changed, 0u);
        expect_matches(edited, model, 7000);
    }
}

TEST(ChampInPlace, ReusesOwnedNodes) {
    using M = Map<U64Traits<MixHash>>;
    const std::uint64_t n = 100000;

    long before = Nodes::made;
    M by_set;
    for (std::uint64_t k = 0; k < n; ++k) by_set = by_set.set(k, k);
    const long set_allocations = Nodes::made - before;

    before = Nodes::made;
    M in_place;
    for (std::uint64_t k = 0; k < n; ++k) in_place.set_in_place(k, k);
    const long in_place_allocations = Nodes::made - before;
    EXPECT_EQ(shape_of(in_place), shape_of(by_set));

    // Path copying pays a node per level for every insert; building in place pays only when a
    // node outgrows its room.
    EXPECT_GT(set_allocations, static_cast<long>(3 * n));
    EXPECT_LT(in_place_allocations, static_cast<long>(n));
    EXPECT_LT(in_place_allocations * 5, set_allocations);

    // Overwrites in an owned map are free, and nothing is left behind.
    before = Nodes::made;
    for (std::uint64_t k = 0; k < n; ++k) in_place.set_in_place(k, k + 1);
    EXPECT_EQ(Nodes::made, before);
    EXPECT_EQ(*in_place.find(12345), 12346u);

    const long live_before = Nodes::live;
    {
        M shared = in_place;
        before = Nodes::made;
        shared.set_in_place(n + 1, 0);
        EXPECT_EQ(Nodes::made - before, static_cast<long>(shared.path_for_test(MixHash::of(n + 1)).size()));
        EXPECT_EQ(in_place.find(n + 1), nullptr);
    }
    EXPECT_EQ(Nodes::live, live_before);
}

using ProbeMap = Map<ProbeTraits<MixHash>>;

template <class M>
std::map<std::uint64_t, std::uint64_t> probe_contents(const M& m) {
    std::map<std::uint64_t, std::uint64_t> out;
    m.for_each([&](const PKey& k, const PValue& v) { EXPECT_TRUE(out.emplace(k.id, v.id).second) << "key twice: " << k.id; });
    return out;
}

// Every key, value and node alive belongs to exactly one node reachable from some live map.
template <class M>
void expect_exact_ownership(const std::vector<M>& maps) {
    std::unordered_set<const void*> nodes;
    long entries = 0;
    for (const M& m : maps) {
        m.for_each_node_for_test([&](const void* id, unsigned, unsigned nd, unsigned) {
            if (nodes.insert(id).second) entries += nd;
        });
    }
    EXPECT_EQ(Nodes::live, static_cast<long>(nodes.size()));
    EXPECT_EQ(PKey::live, entries);
    EXPECT_EQ(PValue::live, entries);
}

TEST(ChampMemory, NodesLiveExactlyAsLongAsSomeMapNeedsThem) {
    ASSERT_EQ(PKey::live + PValue::live + Nodes::live, 0);
    std::mt19937_64 rng(3);
    std::vector<ProbeMap> versions;
    {
        ProbeMap m;
        for (int op = 0; op < 6000; ++op) {
            PKey k(rng() % 3000);
            PValue v(rng());
            switch (rng() % 4) {
                case 0: m = m.set(k, v); break;
                case 1:
                case 2: m.set_in_place(k, v); break;
                case 3: m = m.erase(k); break;
            }
            if (op % 120 == 0) versions.push_back(m);
        }
        versions.push_back(m);
    }
    expect_exact_ownership(versions);
    std::shuffle(versions.begin(), versions.end(), rng);
    while (!versions.empty()) {
        versions.pop_back();
        expect_exact_ownership(versions);
        if (HasFailure()) return;
    }
    EXPECT_EQ(PKey::live, 0);
    EXPECT_EQ(PValue::live, 0);
    EXPECT_EQ(Nodes::live, 0);
}

TEST(ChampMemory, MillionEntriesReturnEverything) {
    ASSERT_EQ(PKey::live + PValue::live + Nodes::live, 0);
    {
        ProbeMap m;
        for (std::uint64_t k = 0; k < 1'000'000; ++k) m.set_in_place(PKey(k), PValue(k));
        ASSERT_EQ(m.size(), 1'000'000u);
        EXPECT_EQ(PKey::live, 1'000'000);
        EXPECT_EQ(PValue::live, 1'000'000);
        EXPECT_EQ(Nodes::live, static_cast<long>(node_ids(m).size()));

        std::vector<ProbeMap> versions;
        for (std::uint64_t k = 0; k < 20; ++k) {
            versions.push_back(k % 2 ? m.set(PKey(k * 997'001), PValue(0)) : m.erase(PKey(k * 49'999)));
        }
        versions.push_back(m);
        expect_exact_ownership(versions);
        ASSERT_NE(m.find(PKey(999'999)), nullptr);
        EXPECT_EQ(m.find(PKey(999'999))->id, 999'999u);
    }
    EXPECT_EQ(PKey::live, 0);
    EXPECT_EQ(PValue::live, 0);
    EXPECT_EQ(Nodes::live, 0);
}

// Makes every fallible step of each update fail in turn (copies of keys and values, hashing,
// comparing, node allocation): each failure must leave the map exactly as it was, leaking
// nothing, and the attempt that finally succeeds must give the right result.
template <class H>
void fail_every_step(std::size_t base_size) {
    using M = Map<ProbeTraits<H>>;
    using Contents = std::map<std::uint64_t, std::uint64_t>;
    enum Kind { Set, SetInPlace, SetInPlaceShared, Erase };
    struct {
        const char* what;
        Kind kind;
        std::uint64_t first_key;  // keys first, first + 3, ...: even ones exist in the base map
    } cases[] = {
        {"set new key", Set, 1},
        {"set existing key", Set, 0},
        {"set_in_place new key", SetInPlace, 1},
        {"set_in_place existing key", SetInPlace, 0},
        {"set_in_place on a map sharing nodes", SetInPlaceShared, 1},
        {"erase", Erase, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        M m;
        for (std::uint64_t k = 0; k < 2 * base_size; k += 2) m.set_in_place(PKey(k), PValue(k));
        M other;
        if (c.kind == SetInPlaceShared) other = m;
        const Contents other_contents = probe_contents(other);

        for (std::uint64_t key = c.first_key; key < c.first_key + 24; key += 3) {
            const PKey k(key);
            const PValue v(key + 1000);
            Contents expected = probe_contents(m);
            if (c.kind == Erase) expected.erase(key);
            else expected[key] = key + 1000;

            long budget = 0;
            for (;; ++budget) {
                const Contents contents = probe_contents(m);
                const auto ids = node_ids(m);
                const long keys = PKey::live, values = PValue::live, nodes = Nodes::live;
                M result;
                bool threw = false;
                Fault::budget = budget;
                try {
                    switch (c.kind) {
                        case Set: result = m.set(k, v); break;
                        case SetInPlace:
                        case SetInPlaceShared: m.set_in_place(k, v); result = m; break;
                        case Erase: result = m.erase(k); break;
                    }
                } catch (const std::bad_alloc&) {
                    threw = true;
                }
                Fault::budget = -1;
                if (!threw) {
                    ASSERT_EQ(result.validate_for_test(), "");
                    EXPECT_EQ(probe_contents(result), expected);
                    break;
                }
                SCOPED_TRACE("failing step " + std::to_string(budget));
                ASSERT_EQ(m.validate_for_test(), "");
                ASSERT_EQ(probe_contents(m), contents);
                ASSERT_EQ(node_ids(m), ids);
                ASSERT_EQ(PKey::live, keys);
                ASSERT_EQ(PValue::live, values);
                ASSERT_EQ(Nodes::live, nodes);
            }
            // Every update hashes the key at least, so there was a step to fail.
            EXPECT_GT(budget, 0);
        }
        EXPECT_EQ(probe_contents(other), other_contents);
    }
}

struct ChampFaultCase {
    const char* name;
    void (*run)(std::size_t);
    std::size_t base_size;
};

TEST(ChampExceptions, FailureAtAnyStepChangesNothing) {
    const ChampFaultCase cases[] = {
        {"spread hashes", fail_every_step<MixHash>, 2000},
        {"deep paths", fail_every_step<TopBitsHash>, 300},
        {"long splits", fail_every_step<PairSplitHash>, 300},
        {"one collision node", fail_every_step<ZeroHash>, 40},
        {"several collision nodes", fail_every_step<FewHash>, 60},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        c.run(c.base_size);
        if (HasFatalFailure()) return;
    }
    EXPECT_EQ(PKey::live, 0);
    EXPECT_EQ(PValue::live, 0);
    EXPECT_EQ(Nodes::live, 0);
}

// Threads copy, read and derive new versions from one shared map while others drop theirs.
TEST(ChampThreads, SharedMapSurvivesConcurrentCopiesAndReads) {
    ASSERT_EQ(PKey::live + PValue::live + Nodes::live, 0);
    {
        ProbeMap base;
        for (std::uint64_t k = 0; k < 20000; ++k) base.set_in_place(PKey(k), PValue(k * 2));
        const auto contents = probe_contents(base);
        std::vector<ProbeMap> pool(16, base);
        for (std::size_t i = 0; i < pool.size(); ++i) pool[i] = pool[i].set(PKey(100000 + i), PValue(i));

        std::atomic<long> wrong{0};
        std::vector<std::thread> threads;
        for (unsigned t = 0; t < 8; ++t) {
            threads.emplace_back([&, t] {
                std::mt19937_64 rng(t);
                for (int round = 0; round < 300; ++round) {
                    ProbeMap local = rng() % 2 ? base : pool[rng() % pool.size()];
                    for (int i = 0; i < 40; ++i) {
                        std::uint64_t k = rng() % 20000;
                        const PValue* v = local.find(PKey(k));
                        if (!v || v->id != k * 2) ++wrong;
                    }
                    std::uint64_t k = rng() % 20000;
                    ProbeMap derived = local.set(PKey(k), PValue(1));
                    derived.set_in_place(PKey(k + 1), PValue(2));
                    derived = derived.erase(PKey(k + 2));
                    const PValue* a = derived.find(PKey(k));
                    const PValue* b = derived.find(PKey(k + 1));
                    if (!a || a->id != 1 || !b || b->id != 2 || derived.find(PKey(k + 2))) ++wrong;
                    const PValue* orig = local.find(PKey(k));
                    if (!orig || orig->id != k * 2) ++wrong;
                }
            });
        }
        for (auto& th : threads) th.join();
        EXPECT_EQ(wrong.load(), 0);
        EXPECT_EQ(base.validate_for_test(), "");
        EXPECT_EQ(probe_contents(base), contents);
        pool.push_back(base);
        expect_exact_ownership(pool);
    }
    EXPECT_EQ(PKey::live, 0);
    EXPECT_EQ(PValue::live, 0);
    EXPECT_EQ(Nodes::live, 0);
}

}  // namespace
