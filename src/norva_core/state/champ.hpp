// Persistent hash map: an immutable, structurally shared hash trie with compressed nodes.
//
// Every level consumes 5 bits of a 64-bit hash. A node keeps two 32-bit maps: `datamap` marks
// slots holding an entry inline, `nodemap` slots holding a child node; the position of a slot in
// either group is the popcount of the map below its bit. After 13 levels (the last one sees only
// hash bits 60..63) every bit is spent, so keys that still share a slot have the same full hash
// and live together in a collision node, searched with Traits::equal.
//
// The trie is kept canonical: an entry sits at the shallowest level where no other key shares
// its hash prefix, and no node below the root holds a single entry. The shape therefore depends
// only on the set of keys, never on the order of updates (within a collision node, entries keep
// the order they arrived in).
//
// Traits supplies the key and value types and how to hash and compare keys:
//
//   struct Traits {
//     using Key = ...; using Value = ...;
//     static std::uint64_t hash(const Key&);        // once per operation; the map keeps the result
//     static bool equal(const Key&, const Key&);
//     // optional, for custom node memory:
//     static void* allocate(std::size_t bytes, std::size_t align);
//     static void deallocate(void* p, std::size_t bytes, std::size_t align) noexcept;
//     // optional, false when one lock guards every copy and drop of every map of these traits:
//     static constexpr bool atomic_refs = false;
//   };
//
// Keys and values are held by value. Copying one means sharing it (a reference for refcounted
// handles) and may throw; moving and destroying one must not throw. hash, equal and copies may
// throw: every operation then leaves the map as it was and leaks nothing. equal must not change
// the map it is called for.
//
// Nodes are reference counted and never change once more than one owner can reach them. The
// counts are atomic unless Traits::atomic_refs is false, so by default maps are copied and
// dropped on any thread and concurrent reads and copies of a shared map are safe. A map whose
// every copy and drop happens under one lock (maps of Python objects, under the interpreter
// lock) counts without atomics: a path copy retains up to 31 siblings per level, and locked
// increments would be most of its cost. set_in_place changes only nodes that the map it is called on owns alone; like any
// change it must not race with other use of that same Map object.
#pragma once

#include <algorithm>
#include <atomic>
#include <bit>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <iterator>
#include <memory>
#include <new>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace norva::champ {

namespace detail {

template <class T>
constexpr bool atomic_refs() {
    if constexpr (requires { T::atomic_refs; }) return T::atomic_refs;
    else return true;
}

template <class T>
concept CustomAllocation = requires(std::size_t n, std::size_t a, void* p) {
    { T::allocate(n, a) } -> std::same_as<void*>;
    T::deallocate(p, n, a);
};

// Without the popcnt instruction (baseline x86-64), std::popcount is a call into the compiler's
// runtime library; every step through a node counts bits, so count them inline.
inline unsigned popcount(std::uint32_t x) noexcept {
#if defined(__POPCNT__) || !(defined(__x86_64__) || defined(__i386__))
    return static_cast<unsigned>(std::popcount(x));
#else
    x = x - ((x >> 1) & 0x55555555u);
    x = (x & 0x33333333u) + ((x >> 2) & 0x33333333u);
    x = (x + (x >> 4)) & 0x0F0F0F0Fu;
    return (x * 0x01010101u) >> 24;
#endif
}

}  // namespace detail

template <class Traits>
class Map {
public:
    using Key = typename Traits::Key;
    using Value = typename Traits::Value;

    // Entries are moved between nodes while one is being extended in place; a throwing move
    // would leave no way back to the original.
    static_assert(std::is_nothrow_move_constructible_v<Key> && std::is_nothrow_destructible_v<Key>,
                  "keys must move and destroy without throwing");
    static_assert(std::is_nothrow_move_constructible_v<Value> && std::is_nothrow_destructible_v<Value>,
                  "values must move and destroy without throwing");

    struct Entry {
        std::uint64_t hash;
        Key key;
        Value value;

        Entry(std::uint64_t h, const Key& k, const Value& v) : hash(h), key(k), value(v) {}
        Entry(const Entry&) = default;
        Entry(Entry&&) noexcept = default;
        Entry& operator=(const Entry&) = delete;
        Entry& operator=(Entry&&) = delete;
    };

private:
    struct Node {
        std::atomic<std::uint32_t> refs;
        std::uint32_t cap;      // payload bytes: entries grow from the front, children from the back
        std::uint32_t datamap;  // in a collision node: the number of entries
        std::uint32_t nodemap;  // in a collision node: 0

        Node(std::uint32_t c, std::uint32_t dm, std::uint32_t nm) noexcept
            : refs(1), cap(c), datamap(dm), nodemap(nm) {}
    };

    static constexpr unsigned kBits = 5;
    static constexpr unsigned kLastShift = 60;  // shift of the 13th and deepest bitmap level
    static constexpr unsigned kMaxDepth = 14;   // 13 bitmap levels and a collision node
    static constexpr std::size_t kAlign = std::max({alignof(Node), alignof(Entry), alignof(Node*)});
    static constexpr std::size_t kPayload = (sizeof(Node) + kAlign - 1) / kAlign * kAlign;
    // A count this high means a reference leaks somewhere; wrapping around would free a live node.
    static constexpr std::uint32_t kMaxRefs = 0xFFFF'FF00u;

    Node* root_ = nullptr;
    std::size_t size_ = 0;

    Map(Node* root, std::size_t size) noexcept : root_(root), size_(size) {}

    // --- node memory -----------------------------------------------------------------------

    static Entry* entries(const Node* n) noexcept {
        return reinterpret_cast<Entry*>(reinterpret_cast<char*>(const_cast<Node*>(n)) + kPayload);
    }
    // Children are stored backwards from the end of the payload, so finding child j needs no
    // count of the children.
    static Node*& child_at(const Node* n, unsigned j) noexcept {
        Node** end = reinterpret_cast<Node**>(reinterpret_cast<char*>(const_cast<Node*>(n)) + kPayload + n->cap);
        return end[-1 - static_cast<std::ptrdiff_t>(j)];
    }
    static unsigned data_count(const Node* n, unsigned shift) noexcept {
        return shift > kLastShift ? n->datamap : detail::popcount(n->datamap);
    }
    static unsigned child_count(const Node* n) noexcept { return detail::popcount(n->nodemap); }
    static std::size_t used_bytes(std::size_t nd, std::size_t nc) noexcept {
        return nd * sizeof(Entry) + nc * sizeof(Node*);
    }

    // Path copies are exact. Nodes that grow while owned get room to grow further by doubling
    // (in entry-sized units, 32 at most for a bitmap node), so a map built from scratch
    // reallocates each node a handful of times instead of on every insert.
    static std::uint32_t fit(std::size_t used, bool slack) noexcept {
        std::size_t cap = used;
        if (slack) {
            std::size_t units = std::max<std::size_t>((used + sizeof(Entry) - 1) / sizeof(Entry), 2);
            cap = std::max(cap, std::bit_ceil(units) * sizeof(Entry));
        }
        cap = (cap + alignof(Node*) - 1) / alignof(Node*) * alignof(Node*);
        return static_cast<std::uint32_t>(cap);
    }

    static void* raw_alloc(std::size_t bytes) {
        if constexpr (detail::CustomAllocation<Traits>) {
            return Traits::allocate(bytes, kAlign);
        } else if constexpr (kAlign > __STDCPP_DEFAULT_NEW_ALIGNMENT__) {
            return ::operator new(bytes, std::align_val_t{kAlign});
        } else {
            return ::operator new(bytes);
        }
    }
    static void raw_free(void* p, std::size_t bytes) noexcept {
        if constexpr (detail::CustomAllocation<Traits>) {
            Traits::deallocate(p, bytes, kAlign);
        } else if constexpr (kAlign > __STDCPP_DEFAULT_NEW_ALIGNMENT__) {
            ::operator delete(p, bytes, std::align_val_t{kAlign});
        } else {
            ::operator delete(p, bytes);
        }
    }

    // Header only; the caller constructs the entries and fills in the children.
    static Node* alloc_node(std::uint32_t cap, std::uint32_t datamap, std::uint32_t nodemap) {
        void* p = raw_alloc(kPayload + cap);
        return ::new (p) Node(cap, datamap, nodemap);
    }
    static void free_node(Node* n) noexcept {
        std::size_t bytes = kPayload + n->cap;
        n->~Node();
        raw_free(n, bytes);
    }

    static constexpr bool kAtomic = detail::atomic_refs<Traits>();

    static void retain(Node* n) noexcept {
        std::uint32_t before;
        if constexpr (kAtomic) {
            before = n->refs.fetch_add(1, std::memory_order_relaxed);
        } else {
            before = n->refs.load(std::memory_order_relaxed);
            n->refs.store(before + 1, std::memory_order_relaxed);
        }
        if (before >= kMaxRefs) [[unlikely]] {
            std::terminate();
        }
    }
    static void release(Node* n, unsigned shift) noexcept {
        if constexpr (kAtomic) {
            if (n->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
        } else {
            const std::uint32_t before = n->refs.load(std::memory_order_relaxed);
            if (before != 1) {
                n->refs.store(before - 1, std::memory_order_relaxed);
                return;
            }
        }
        std::destroy_n(entries(n), data_count(n, shift));
        unsigned nc = child_count(n);
        for (unsigned j = 0; j < nc; ++j) release(child_at(n, j), shift + kBits);
        free_node(n);
    }
    // Acquire pairs with the release of the last other owner, whose reads of the node must be
    // over before this map starts changing it.
    static bool exclusive(const Node* n) noexcept {
        return n->refs.load(kAtomic ? std::memory_order_acquire : std::memory_order_relaxed) == 1;
    }

    // A counted reference that is dropped unless handed on.
    struct Hold {
        Node* node;
        unsigned shift;
        Hold(Node* n, unsigned s) noexcept : node(n), shift(s) {}
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;
        ~Hold() {
            if (node) release(node, shift);
        }
        Node* take() noexcept { return std::exchange(node, nullptr); }
    };

    static void relocate(Entry* to, Entry* from) noexcept {
        std::construct_at(to, std::move(*from));
        std::destroy_at(from);
    }

    static unsigned frag(std::uint64_t h, unsigned shift) noexcept { return static_cast<unsigned>(h >> shift) & 31u; }
    static std::uint32_t bit_of(std::uint64_t h, unsigned shift) noexcept { return std::uint32_t{1} << frag(h, shift); }
    static unsigned index_of(std::uint32_t map, std::uint32_t bit) noexcept {
        return detail::popcount(map & (bit - 1));
    }

    // Makes a node in one allocation. make_entry(i, where) constructs entry i and may throw;
    // child(j) hands over a counted reference to child j and is called only once every entry
    // exists, so a throw never strands a reference inside a half-built node.
    template <class MakeEntry, class Child>
    static Node* build(std::uint32_t datamap, std::uint32_t nodemap, unsigned nd, unsigned nc, bool slack,
                       MakeEntry&& make_entry, Child&& child) {
        Node* n = alloc_node(fit(used_bytes(nd, nc), slack), datamap, nodemap);
        Entry* es = entries(n);
        unsigned made = 0;
        try {
            for (; made < nd; ++made) make_entry(made, es + made);
        } catch (...) {
            std::destroy_n(es, made);
            free_node(n);
            throw;
        }
        for (unsigned j = 0; j < nc; ++j) child_at(n, j) = child(j);
        return n;
    }

    struct NoChildren {
        Node* operator()(unsigned) const noexcept { return nullptr; }
    };
    // Child j of the new node is child from_index(j) of n, shared.
    template <class FromIndex>
    struct Borrow {
        const Node* n;
        FromIndex from_index;
        Node* operator()(unsigned j) const noexcept {
            Node* c = child_at(n, from_index(j));
            retain(c);
            return c;
        }
    };
    template <class FromIndex>
    static Borrow<FromIndex> borrow(const Node* n, FromIndex f) noexcept {
        return {n, f};
    }
    static auto borrow_all(const Node* n) noexcept {
        return borrow(n, [](unsigned j) noexcept { return j; });
    }

    static Node* single(std::uint64_t h, const Key& k, const Value& v, bool slack) {
        return build(bit_of(h, 0), 0, 1, 0, slack, [&](unsigned, Entry* w) { std::construct_at(w, h, k, v); },
                     NoChildren{});
    }

    // The subtree for two entries whose hashes agree below `shift`: one single-child node per
    // level where their fragments still agree, then a node with both. Every node is allocated
    // before either entry is moved, so a failure leaves both where they were.
    static Node* merge(Entry&& a, Entry&& b, unsigned shift, bool slack) {
        unsigned depth = 0;
        unsigned s = shift;
        while (s <= kLastShift && frag(a.hash, s) == frag(b.hash, s)) {
            ++depth;
            s += kBits;
        }
        Node* chain[kMaxDepth];
        unsigned made = 0;
        Node* leaf;
        try {
            for (; made < depth; ++made) {
                chain[made] = alloc_node(fit(sizeof(Node*), slack), 0, bit_of(a.hash, shift + made * kBits));
            }
            leaf = s > kLastShift ? alloc_node(fit(2 * sizeof(Entry), slack), 2, 0)
                                  : alloc_node(fit(2 * sizeof(Entry), slack), bit_of(a.hash, s) | bit_of(b.hash, s), 0);
        } catch (...) {
            for (unsigned i = 0; i < made; ++i) free_node(chain[i]);
            throw;
        }
        bool a_first = s > kLastShift || frag(a.hash, s) < frag(b.hash, s);
        Entry* le = entries(leaf);
        std::construct_at(le, std::move(a_first ? a : b));
        std::construct_at(le + 1, std::move(a_first ? b : a));
        Node* below = leaf;
        for (unsigned i = depth; i-- > 0;) {
            child_at(chain[i], 0) = below;
            below = chain[i];
        }
        return below;
    }

    // --- set: path copy --------------------------------------------------------------------

    // A new node (refcount 1) equal to n with k mapped to v, sized exactly; n is left as it was.
    static Node* insert_copy(const Node* n, unsigned shift, std::uint64_t h, const Key& k, const Value& v,
                             bool& added) {
        Entry* es = entries(n);
        if (shift > kLastShift) {
            unsigned cnt = n->datamap;
            for (unsigned i = 0; i < cnt; ++i) {
                if (Traits::equal(es[i].key, k)) {
                    return build(cnt, 0, cnt, 0, false,
                                 [&](unsigned x, Entry* w) {
                                     if (x == i) std::construct_at(w, es[x].hash, es[x].key, v);
                                     else std::construct_at(w, es[x]);
                                 },
                                 NoChildren{});
                }
            }
            Node* r = build(cnt + 1, 0, cnt + 1, 0, false,
                            [&](unsigned x, Entry* w) {
                                if (x < cnt) std::construct_at(w, es[x]);
                                else std::construct_at(w, h, k, v);
                            },
                            NoChildren{});
            added = true;
            return r;
        }

        const std::uint32_t bit = bit_of(h, shift);
        const std::uint32_t dm = n->datamap, nm = n->nodemap;
        const unsigned nd = detail::popcount(dm), nc = detail::popcount(nm);

        if (dm & bit) {
            const unsigned i = index_of(dm, bit);
            const Entry& old = es[i];
            if (old.hash == h && Traits::equal(old.key, k)) {
                // The stored key stays: it is the one the map was first given.
                return build(dm, nm, nd, nc, false,
                             [&](unsigned x, Entry* w) {
                                 if (x == i) std::construct_at(w, old.hash, old.key, v);
                                 else std::construct_at(w, es[x]);
                             },
                             borrow_all(n));
            }
            Hold fresh(merge(Entry(old), Entry(h, k, v), shift + kBits, false), shift + kBits);
            const std::uint32_t nm2 = nm | bit;
            const unsigned j = index_of(nm2, bit);
            Node* r = build(dm & ~bit, nm2, nd - 1, nc + 1, false,
                            [&](unsigned x, Entry* w) { std::construct_at(w, es[x < i ? x : x + 1]); },
                            [&](unsigned y) noexcept -> Node* {
                                if (y == j) return fresh.take();
                                Node* c = child_at(n, y < j ? y : y - 1);
                                retain(c);
                                return c;
                            });
            added = true;
            return r;
        }

        if (nm & bit) {
            const unsigned j = index_of(nm, bit);
            Hold fresh(insert_copy(child_at(n, j), shift + kBits, h, k, v, added), shift + kBits);
            return build(dm, nm, nd, nc, false, [&](unsigned x, Entry* w) { std::construct_at(w, es[x]); },
                         [&](unsigned y) noexcept -> Node* {
                             if (y == j) return fresh.take();
                             Node* c = child_at(n, y);
                             retain(c);
                             return c;
                         });
        }

        const std::uint32_t dm2 = dm | bit;
        const unsigned i = index_of(dm2, bit);
        Node* r = build(dm2, nm, nd + 1, nc, false,
                        [&](unsigned x, Entry* w) {
                            if (x < i) std::construct_at(w, es[x]);
                            else if (x == i) std::construct_at(w, h, k, v);
                            else std::construct_at(w, es[x - 1]);
                        },
                        borrow_all(n));
        added = true;
        return r;
    }

    // --- set_in_place: edit owned nodes ----------------------------------------------------

    // Swaps in a copy of v; the old value goes only once the entry is whole again.
    static void replace_value(Entry& e, const Value& v) {
        Value fresh(v);
        [[maybe_unused]] Value old(std::move(e.value));
        std::destroy_at(&e.value);
        std::construct_at(&e.value, std::move(fresh));
    }

    // Puts e at data position i of the owned node n (nd entries, nc children), reallocating with
    // more room when it is full. Returns the node that now holds everything.
    static Node* emplace_owned(Node* n, unsigned nd, unsigned nc, unsigned i, Entry&& e, std::uint32_t datamap) {
        const std::size_t need = used_bytes(nd + 1, nc);
        if (need <= n->cap) {
            Entry* es = entries(n);
            for (unsigned x = nd; x > i; --x) relocate(es + x, es + x - 1);
            std::construct_at(es + i, std::move(e));
            n->datamap = datamap;
            return n;
        }
        Node* g = alloc_node(fit(need, true), datamap, n->nodemap);
        Entry* from = entries(n);
        Entry* to = entries(g);
        for (unsigned x = 0; x < i; ++x) relocate(to + x, from + x);
        std::construct_at(to + i, std::move(e));
        for (unsigned x = i; x < nd; ++x) relocate(to + x + 1, from + x);
        // The references move with the pointers.
        for (unsigned j = 0; j < nc; ++j) child_at(g, j) = child_at(n, j);
        free_node(n);
        return g;
    }

    // n is owned by this map alone, as is every node above it. Returns n or the node that
    // replaced it. Everything that can throw happens before n is touched.
    static Node* insert_owned(Node* n, unsigned shift, std::uint64_t h, const Key& k, const Value& v, bool& added) {
        Entry* es = entries(n);
        if (shift > kLastShift) {
            const unsigned cnt = n->datamap;
            for (unsigned i = 0; i < cnt; ++i) {
                if (Traits::equal(es[i].key, k)) {
                    replace_value(es[i], v);
                    return n;
                }
            }
            Node* r = emplace_owned(n, cnt, 0, cnt, Entry(h, k, v), cnt + 1);
            added = true;
            return r;
        }

        const std::uint32_t bit = bit_of(h, shift);
        const std::uint32_t dm = n->datamap, nm = n->nodemap;
        const unsigned nd = detail::popcount(dm), nc = detail::popcount(nm);

        if (dm & bit) {
            const unsigned i = index_of(dm, bit);
            Entry& old = es[i];
            if (old.hash == h && Traits::equal(old.key, k)) {
                replace_value(old, v);
                return n;
            }
            Entry incoming(h, k, v);
            // The existing entry moves down into the new subtree; merge takes it only once
            // nothing can fail any more.
            Node* child = merge(std::move(old), std::move(incoming), shift + kBits, true);
            // Dropping an entry frees at least a pointer's worth of room, so the child fits.
            std::destroy_at(es + i);
            for (unsigned x = i; x + 1 < nd; ++x) relocate(es + x, es + x + 1);
            n->datamap = dm & ~bit;
            const std::uint32_t nm2 = nm | bit;
            const unsigned j = index_of(nm2, bit);
            for (unsigned y = nc; y > j; --y) child_at(n, y) = child_at(n, y - 1);
            child_at(n, j) = child;
            n->nodemap = nm2;
            added = true;
            return n;
        }

        if (nm & bit) {
            Node*& slot = child_at(n, index_of(nm, bit));
            Node* c = slot;
            if (exclusive(c)) {
                slot = insert_owned(c, shift + kBits, h, k, v, added);
            } else {
                // Shared below here: copy the rest of the path, exactly. A copy usually takes
                // one change (a chain of versions keeps every copy alive); an owned node that
                // then grows is reallocated with room.
                slot = insert_copy(c, shift + kBits, h, k, v, added);
                release(c, shift + kBits);
            }
            return n;
        }

        const std::uint32_t dm2 = dm | bit;
        Node* r = emplace_owned(n, nd, nc, index_of(dm2, bit), Entry(h, k, v), dm2);
        added = true;
        return r;
    }

    // --- erase -----------------------------------------------------------------------------

    // What is left of a subtree after removing a key. When only one entry remains it is
    // returned as `single` (it still lives in the old tree) for the caller to take in, which
    // keeps the trie canonical without allocating nodes that would be dissolved at once.
    struct Removed {
        bool found = false;
        Node* node = nullptr;
        const Entry* single = nullptr;
    };

    static Removed remove(const Node* n, unsigned shift, std::uint64_t h, const Key& k) {
        Entry* es = entries(n);
        if (shift > kLastShift) {
            const unsigned cnt = n->datamap;
            for (unsigned i = 0; i < cnt; ++i) {
                if (!Traits::equal(es[i].key, k)) continue;
                if (cnt == 2) return {true, nullptr, es + (1 - i)};
                Node* r = build(cnt - 1, 0, cnt - 1, 0, false,
                                [&](unsigned x, Entry* w) { std::construct_at(w, es[x < i ? x : x + 1]); }, NoChildren{});
                return {true, r, nullptr};
            }
            return {};
        }

        const std::uint32_t bit = bit_of(h, shift);
        const std::uint32_t dm = n->datamap, nm = n->nodemap;
        const unsigned nd = detail::popcount(dm), nc = detail::popcount(nm);

        if (dm & bit) {
            const unsigned i = index_of(dm, bit);
            if (es[i].hash != h || !Traits::equal(es[i].key, k)) return {};
            if (nc == 0 && nd <= 2) return {true, nullptr, nd == 2 ? es + (1 - i) : nullptr};
            Node* r = build(dm & ~bit, nm, nd - 1, nc, false,
                            [&](unsigned x, Entry* w) { std::construct_at(w, es[x < i ? x : x + 1]); }, borrow_all(n));
            return {true, r, nullptr};
        }

        if (nm & bit) {
            const unsigned j = index_of(nm, bit);
            Removed below = remove(child_at(n, j), shift + kBits, h, k);
            if (!below.found) return below;
            if (below.node) {
                Hold fresh(below.node, shift + kBits);
                Node* r = build(dm, nm, nd, nc, false, [&](unsigned x, Entry* w) { std::construct_at(w, es[x]); },
                                [&](unsigned y) noexcept -> Node* {
                                    if (y == j) return fresh.take();
                                    Node* c = child_at(n, y);
                                    retain(c);
                                    return c;
                                });
                return {true, r, nullptr};
            }
            // A child never drops below one entry; the one left moves up into this node, or
            // further up when this node would be left holding nothing else.
            if (nd == 0 && nc == 1) return below;
            const Entry& s = *below.single;
            const std::uint32_t dm2 = dm | bit;
            const unsigned i = index_of(dm2, bit);
            Node* r = build(dm2, nm & ~bit, nd + 1, nc - 1, false,
                            [&](unsigned x, Entry* w) {
                                if (x < i) std::construct_at(w, es[x]);
                                else if (x == i) std::construct_at(w, s);
                                else std::construct_at(w, es[x - 1]);
                            },
                            borrow(n, [j](unsigned y) noexcept { return y < j ? y : y + 1; }));
            return {true, r, nullptr};
        }
        return {};
    }

    // --- traversal -------------------------------------------------------------------------

    template <class F>
    static void visit(const Node* n, unsigned shift, F& f) {
        const Entry* es = entries(n);
        const unsigned nd = data_count(n, shift);
        for (unsigned i = 0; i < nd; ++i) f(es[i].key, es[i].value);
        if (shift > kLastShift) return;
        const unsigned nc = child_count(n);
        for (unsigned j = 0; j < nc; ++j) visit(child_at(n, j), shift + kBits, f);
    }

public:
    Map() noexcept = default;
    Map(const Map& o) noexcept : root_(o.root_), size_(o.size_) {
        if (root_) retain(root_);
    }
    Map(Map&& o) noexcept : root_(std::exchange(o.root_, nullptr)), size_(std::exchange(o.size_, 0)) {}
    // The old root is released last, with this map already whole: releasing may run arbitrary
    // destructors.
    Map& operator=(const Map& o) noexcept {
        if (o.root_) retain(o.root_);
        Node* old = std::exchange(root_, o.root_);
        size_ = o.size_;
        if (old) release(old, 0);
        return *this;
    }
    Map& operator=(Map&& o) noexcept {
        if (this != &o) {
            Node* old = std::exchange(root_, std::exchange(o.root_, nullptr));
            size_ = std::exchange(o.size_, 0);
            if (old) release(old, 0);
        }
        return *this;
    }
    ~Map() {
        if (root_) release(root_, 0);
    }

    void swap(Map& o) noexcept {
        std::swap(root_, o.root_);
        std::swap(size_, o.size_);
    }

    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }

    // The pointer stays valid while this map is alive and not changed in place.
    const Value* find(const Key& k) const { return find(k, Traits::hash(k)); }
    const Value* find(const Key& k, std::uint64_t h) const {
        const Node* n = root_;
        if (!n) return nullptr;
        for (unsigned shift = 0; shift <= kLastShift; shift += kBits) {
            const std::uint32_t bit = bit_of(h, shift);
            if (n->datamap & bit) {
                const Entry& e = entries(n)[index_of(n->datamap, bit)];
                return e.hash == h && Traits::equal(e.key, k) ? &e.value : nullptr;
            }
            if (!(n->nodemap & bit)) return nullptr;
            n = child_at(n, index_of(n->nodemap, bit));
        }
        const Entry* es = entries(n);
        for (unsigned i = 0, cnt = n->datamap; i < cnt; ++i) {
            if (Traits::equal(es[i].key, k)) return &es[i].value;
        }
        return nullptr;
    }
    bool contains(const Key& k) const { return find(k) != nullptr; }

    Map set(const Key& k, const Value& v) const { return set(k, v, Traits::hash(k)); }
    Map set(const Key& k, const Value& v, std::uint64_t h) const {
        if (!root_) return Map(single(h, k, v, false), 1);
        bool added = false;
        Node* r = insert_copy(root_, 0, h, k, v, added);
        return Map(r, size_ + (added ? 1 : 0));
    }

    // Same result as *this = set(k, v), but nodes this map owns alone are changed where they
    // are, and are given room to grow. Pointers from find and iterators into this map may be
    // invalidated.
    void set_in_place(const Key& k, const Value& v) { set_in_place(k, v, Traits::hash(k)); }
    void set_in_place(const Key& k, const Value& v, std::uint64_t h) {
        if (!root_) {
            root_ = single(h, k, v, true);
            size_ = 1;
            return;
        }
        bool added = false;
        if (exclusive(root_)) {
            root_ = insert_owned(root_, 0, h, k, v, added);
        } else {
            Node* r = insert_copy(root_, 0, h, k, v, added);
            Node* old = std::exchange(root_, r);
            release(old, 0);
        }
        if (added) ++size_;
    }

    Map erase(const Key& k) const { return erase(k, Traits::hash(k)); }
    Map erase(const Key& k, std::uint64_t h) const {
        if (!root_) return Map();
        Removed r = remove(root_, 0, h, k);
        if (!r.found) return *this;
        if (r.node) return Map(r.node, size_ - 1);
        if (r.single) return Map(single(r.single->hash, r.single->key, r.single->value, false), size_ - 1);
        return Map();
    }

    // f(const Key&, const Value&) for every entry, once each, in trie order.
    template <class F>
    void for_each(F&& f) const {
        if (root_) visit(root_, 0, f);
    }

    // Visits the same entries in the same order as for_each. Valid while the map is alive and
    // not changed in place.
    class iterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = Entry;
        using difference_type = std::ptrdiff_t;
        using pointer = const Entry*;
        using reference = const Entry&;

        iterator() noexcept = default;
        reference operator*() const noexcept { return *cur_; }
        pointer operator->() const noexcept { return cur_; }
        iterator& operator++() noexcept {
            settle();
            return *this;
        }
        iterator operator++(int) noexcept {
            iterator old = *this;
            settle();
            return old;
        }
        friend bool operator==(const iterator& a, const iterator& b) noexcept { return a.cur_ == b.cur_; }

    private:
        friend class Map;
        struct Frame {
            const Node* node;
            std::uint8_t next_entry;
            std::uint8_t next_child;
        };
        Frame stack_[kMaxDepth];
        int top_ = -1;
        // Collision nodes can hold more than 255 entries, and only the deepest frame is one.
        std::size_t collision_pos_ = 0;
        const Entry* cur_ = nullptr;

        explicit iterator(const Node* root) noexcept {
            if (root) {
                stack_[++top_] = {root, 0, 0};
                settle();
            }
        }
        void settle() noexcept {
            while (top_ >= 0) {
                Frame& f = stack_[top_];
                const unsigned shift = static_cast<unsigned>(top_) * kBits;
                if (shift > kLastShift) {
                    if (collision_pos_ < f.node->datamap) {
                        cur_ = entries(f.node) + collision_pos_++;
                        return;
                    }
                    collision_pos_ = 0;
                    --top_;
                    continue;
                }
                if (f.next_entry < detail::popcount(f.node->datamap)) {
                    cur_ = entries(f.node) + f.next_entry++;
                    return;
                }
                if (f.next_child < child_count(f.node)) {
                    const Node* c = child_at(f.node, f.next_child++);
                    stack_[++top_] = {c, 0, 0};
                    continue;
                }
                --top_;
            }
            cur_ = nullptr;
        }
    };
    using const_iterator = iterator;

    iterator begin() const noexcept { return iterator(root_); }
    iterator end() const noexcept { return iterator(); }

    // --- test hooks: structure, not behaviour ----------------------------------------------

    // Identities of the nodes a lookup of hash h passes through, root first.
    std::vector<const void*> path_for_test(std::uint64_t h) const {
        std::vector<const void*> path;
        const Node* n = root_;
        unsigned shift = 0;
        while (n) {
            path.push_back(n);
            if (shift > kLastShift) break;
            const std::uint32_t bit = bit_of(h, shift);
            n = (n->nodemap & bit) ? child_at(n, index_of(n->nodemap, bit)) : nullptr;
            shift += kBits;
        }
        return path;
    }

    // f(identity, depth, entries, children) for every node, parents before children.
    template <class F>
    void for_each_node_for_test(F&& f) const {
        if (root_) walk_nodes(root_, 0, f);
    }

    // Empty when the trie is well formed and canonical, else what is wrong first.
    std::string validate_for_test() const {
        if (!root_) return size_ == 0 ? std::string() : "no root but size " + std::to_string(size_);
        std::string err;
        std::size_t count = 0;
        check(root_, 0, 0, true, count, err);
        if (err.empty() && count != size_) err = "holds " + std::to_string(count) + " entries, size " + std::to_string(size_);
        return err;
    }

private:
    template <class F>
    static void walk_nodes(const Node* n, unsigned shift, F& f) {
        const unsigned nc = shift > kLastShift ? 0 : child_count(n);
        f(static_cast<const void*>(n), shift / kBits, data_count(n, shift), nc);
        for (unsigned j = 0; j < nc; ++j) walk_nodes(child_at(n, j), shift + kBits, f);
    }

    static void check(const Node* n, unsigned shift, std::uint64_t prefix, bool root, std::size_t& count, std::string& err) {
        auto fail = [&](const char* what) { err = std::string(what) + " at depth " + std::to_string(shift / kBits); };
        if (n->refs.load(std::memory_order_relaxed) == 0) return fail("dead node");
        const Entry* es = entries(n);
        if (shift > kLastShift) {
            const unsigned cnt = n->datamap;
            if (n->nodemap != 0) return fail("collision node with children");
            if (cnt < 2) return fail("collision node with fewer than two entries");
            if (used_bytes(cnt, 0) > n->cap) return fail("collision node overflows its capacity");
            for (unsigned i = 0; i < cnt; ++i) {
                if (es[i].hash != prefix) return fail("collision entry off its path");
                if (Traits::hash(es[i].key) != es[i].hash) return fail("stored hash differs from the key's");
                for (unsigned x = 0; x < i; ++x) {
                    if (Traits::equal(es[x].key, es[i].key)) return fail("key stored twice");
                }
            }
            count += cnt;
            return;
        }
        const std::uint32_t dm = n->datamap, nm = n->nodemap;
        const unsigned nd = detail::popcount(dm), nc = detail::popcount(nm);
        if (dm & nm) return fail("slot holds both an entry and a child");
        if (shift == kLastShift && ((dm | nm) >> 16) != 0) return fail("slot beyond the last hash bits");
        if (used_bytes(nd, nc) > n->cap) return fail("node overflows its capacity");
        if (nd + nc == 0) return fail("empty node");
        if (!root && nd == 1 && nc == 0) return fail("single entry not inlined into its parent");
        const std::uint64_t below = shift == 0 ? 0 : (std::uint64_t{1} << shift) - 1;
        unsigned i = 0, j = 0;
        for (unsigned f = 0; f < 32; ++f) {
            const std::uint32_t bit = std::uint32_t{1} << f;
            if (dm & bit) {
                const Entry& e = es[i++];
                if ((e.hash & below) != prefix || frag(e.hash, shift) != f) return fail("entry off its path");
                if (Traits::hash(e.key) != e.hash) return fail("stored hash differs from the key's");
                ++count;
            } else if (nm & bit) {
                const Node* c = child_at(n, j++);
                if (!c) return fail("missing child");
                check(c, shift + kBits, prefix | (std::uint64_t{f} << shift), false, count, err);
                if (!err.empty()) return;
            }
        }
    }
};

}  // namespace norva::champ
