// A plain value tree for one YAML document, read through libfyaml's event
// parser. Scalars are resolved with the YAML 1.2 core schema, aliases are
// expanded into copies under a node budget, and every node remembers where it
// starts in the text so callers can point users at the offending spot.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace norva::yaml {

// 1-based position of a node's first character (its anchor or tag when it has
// one). Columns count Unicode code points, not bytes.
struct Mark {
  uint32_t line = 0;
  uint32_t column = 0;
};

enum class Kind { Null, Bool, Int, Float, String, Sequence, Mapping, Tagged };

struct Node {
  Kind kind = Kind::Null;
  Mark mark;

  bool boolean = false;  // Bool

  // Int. A value that fits int64 is `integer` itself. A value above INT64_MAX
  // sets `above_int64`, and the value is then static_cast<uint64_t>(integer).
  int64_t integer = 0;
  bool above_int64 = false;

  double real = 0.0;  // Float

  // Every scalar (Null, Bool, Int, Float, String) keeps its text as it reads
  // in the document, after quoting and escapes are undone: `0x1F` stays
  // "0x1F", `"a\tb"` becomes a, TAB, b, an empty value is "". For a String it
  // is the value.
  std::string text;

  // Tagged: the tag as written, e.g. "!custom", "!!binary", "!e!x", or
  // "!<tag:example.com,2000:x>" for a verbatim tag.
  std::string tag;

  std::vector<Node> items;                      // Sequence; Tagged: exactly one item
  std::vector<std::pair<Node, Node>> entries;   // Mapping, in document order

  // The value of the entry whose key is a String node (not a Tagged one)
  // equal to `key`. Looks through tags on this node; nullptr when this is not
  // a mapping or no key matches.
  const Node* find(std::string_view key) const;

  // This node with any number of Tagged wrappers removed.
  const Node& untagged() const;

  // The rendering used in user-facing error texts, e.g.
  // `Mapping {String("n"): Number(1)}`.
  std::string debug() const;

  // These look through tags.
  bool is_null() const { return untagged().kind == Kind::Null; }
  bool is_bool() const { return untagged().kind == Kind::Bool; }
  bool is_int() const { return untagged().kind == Kind::Int; }
  bool is_float() const { return untagged().kind == Kind::Float; }
  bool is_string() const { return untagged().kind == Kind::String; }
  bool is_sequence() const { return untagged().kind == Kind::Sequence; }
  bool is_mapping() const { return untagged().kind == Kind::Mapping; }
  bool is_scalar() const;  // Null, Bool, Int, Float or String
  bool is_tagged() const { return kind == Kind::Tagged; }  // this node only

  // The Int value when it is representable in the requested type.
  std::optional<int64_t> as_int64() const;
  std::optional<uint64_t> as_uint64() const;

  // The text of a scalar, looking through tags; nullptr for collections.
  const std::string* scalar_text() const;
};

// Carries the whole user-facing description in what(), ending with (or
// containing) "at line L, column C".
struct ParseError : std::runtime_error {
  Mark mark;
  ParseError(const std::string& message, Mark where)
      : std::runtime_error(message), mark(where) {}
};

struct Limits {
  // Nodes built for the document, counting every node produced by alias
  // expansion and each tag wrapper.
  size_t max_nodes = 1'000'000;
  // Levels of nested sequences and mappings (the top collection is level 1),
  // also through aliases. Building and freeing the tree recurse once per
  // level, so this is also the bound on native stack use.
  unsigned max_depth = 256;
};

// `text` with control characters written as escapes (\n, \t, \r, \u{XX}),
// the way debug() shows them, for quoting document text inside messages.
std::string escape_controls(std::string_view text);

// Parses exactly one YAML document; empty text gives a Null node. Safe to
// call from several threads at once.
Node parse(std::string_view text, const Limits& limits = {});

}  // namespace norva::yaml
