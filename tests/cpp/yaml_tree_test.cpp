#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "flux/yaml_tree.hpp"

namespace {

using norva::yaml::Kind;
using norva::yaml::Limits;
using norva::yaml::Node;
using norva::yaml::parse;
using norva::yaml::ParseError;

// The message of the ParseError thrown for `text`, or a failure.
std::string parse_error(const std::string& text, const Limits& limits = {}) {
  try {
    parse(text, limits);
  } catch (const ParseError& e) {
    return e.what();
  }
  ADD_FAILURE() << "no ParseError for: " << text;
  return {};
}

bool contains(const std::string& haystack, const std::string& needle) {
  return haystack.find(needle) != std::string::npos;
}

std::string nested(const std::string& open, const std::string& close, size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) s += open;
  for (size_t i = 0; i < n; ++i) s += close;
  return s;
}

struct ScalarCase {
  const char* yaml;
  Kind kind;
  const char* rendering;
};

TEST(YamlTree, ResolvesScalarsWithTheCoreSchema) {
  const ScalarCase cases[] = {
      // null
      {"~", Kind::Null, "Null"},
      {"null", Kind::Null, "Null"},
      {"Null", Kind::Null, "Null"},
      {"NULL", Kind::Null, "Null"},
      {"nULL", Kind::String, "String(\"nULL\")"},
      // bool; the 1.1 spellings are plain strings
      {"true", Kind::Bool, "Bool(true)"},
      {"True", Kind::Bool, "Bool(true)"},
      {"TRUE", Kind::Bool, "Bool(true)"},
      {"false", Kind::Bool, "Bool(false)"},
      {"False", Kind::Bool, "Bool(false)"},
      {"FALSE", Kind::Bool, "Bool(false)"},
      {"tRUE", Kind::String, "String(\"tRUE\")"},
      {"yes", Kind::String, "String(\"yes\")"},
      {"on", Kind::String, "String(\"on\")"},
      // int
      {"0", Kind::Int, "Number(0)"},
      {"-3", Kind::Int, "Number(-3)"},
      {"+5", Kind::Int, "Number(5)"},
      {"007", Kind::Int, "Number(7)"},
      {"-0", Kind::Int, "Number(0)"},
      {"0o17", Kind::Int, "Number(15)"},
      {"0x1F", Kind::Int, "Number(31)"},
      {"0xff", Kind::Int, "Number(255)"},
      {"9223372036854775807", Kind::Int, "Number(9223372036854775807)"},
      {"-9223372036854775808", Kind::Int, "Number(-9223372036854775808)"},
      {"18446744073709551615", Kind::Int, "Number(18446744073709551615)"},
      {"0xFFFFFFFFFFFFFFFF", Kind::Int, "Number(18446744073709551615)"},
      {"0o1777777777777777777777", Kind::Int, "Number(18446744073709551615)"},
      {"0o8", Kind::String, "String(\"0o8\")"},
      {"0x", Kind::String, "String(\"0x\")"},
      {"0xg1", Kind::String, "String(\"0xg1\")"},
      {"-0x1", Kind::String, "String(\"-0x1\")"},
      {"1_000", Kind::String, "String(\"1_000\")"},
      // integers past uint64 fall back to floats
      {"18446744073709551616", Kind::Float, "Number(18446744073709551616)"},
      {"-9223372036854775809", Kind::Float, "Number(-9223372036854775808)"},
      {"0x10000000000000000", Kind::Float, "Number(18446744073709551616)"},
      {"0o2000000000000000000000", Kind::Float, "Number(18446744073709551616)"},
      // float
      {"1.5", Kind::Float, "Number(1.5)"},
      {"-1.5e3", Kind::Float, "Number(-1500)"},
      {".5", Kind::Float, "Number(0.5)"},
      {"+.5", Kind::Float, "Number(0.5)"},
      {"1.", Kind::Float, "Number(1)"},
      {"1e3", Kind::Float, "Number(1000)"},
      {"2E-2", Kind::Float, "Number(0.02)"},
      {"0.1", Kind::Float, "Number(0.1)"},
      {"1e400", Kind::Float, "Number(inf)"},
      {"-1e400", Kind::Float, "Number(-inf)"},
      {"1e-400", Kind::Float, "Number(0)"},
      {".inf", Kind::Float, "Number(inf)"},
      {"+.Inf", Kind::Float, "Number(inf)"},
      {"-.INF", Kind::Float, "Number(-inf)"},
      {".nan", Kind::Float, "Number(NaN)"},
      {".NaN", Kind::Float, "Number(NaN)"},
      {".NAN", Kind::Float, "Number(NaN)"},
      {"-.nan", Kind::String, "String(\"-.nan\")"},
      {".Nan", Kind::String, "String(\".Nan\")"},
      {"inf", Kind::String, "String(\"inf\")"},
      {"1.2.3", Kind::String, "String(\"1.2.3\")"},
      {"e3", Kind::String, "String(\"e3\")"},
      {"1e", Kind::String, "String(\"1e\")"},
      {".", Kind::String, "String(\".\")"},
      // quoted and block scalars are never resolved
      {"'true'", Kind::String, "String(\"true\")"},
      {"\"5\"", Kind::String, "String(\"5\")"},
      {"'~'", Kind::String, "String(\"~\")"},
      {"\"\"", Kind::String, "String(\"\")"},
      {"|\n  5\n", Kind::String, "String(\"5\\n\")"},
      {">-\n  a\n  b\n", Kind::String, "String(\"a b\")"},
      // standard tags are applied, not kept
      {"!!str 5", Kind::String, "String(\"5\")"},
      {"!!str", Kind::String, "String(\"\")"},
      {"!!int \"7\"", Kind::Int, "Number(7)"},
      {"!!int 0x10", Kind::Int, "Number(16)"},
      {"!!float 1", Kind::Float, "Number(1)"},
      {"!!float '.inf'", Kind::Float, "Number(inf)"},
      {"!!bool 'true'", Kind::Bool, "Bool(true)"},
      {"!!null ''", Kind::Null, "Null"},
      {"!<tag:yaml.org,2002:int> '8'", Kind::Int, "Number(8)"},
      {"%TAG !e! tag:yaml.org,2002:\n--- !e!int '9'\n", Kind::Int, "Number(9)"},
      {"!!seq [1]", Kind::Sequence, "Sequence [Number(1)]"},
      {"!!map {a: 1}", Kind::Mapping, "Mapping {String(\"a\"): Number(1)}"},
      // the non-specific tag makes a string
      {"! 12", Kind::String, "String(\"12\")"},
      {"! true", Kind::String, "String(\"true\")"},
      // any other tag is kept around the resolved value
      {"!custom x", Kind::Tagged, "TaggedValue { tag: !custom, value: String(\"x\") }"},
      {"!custom 5", Kind::Tagged, "TaggedValue { tag: !custom, value: Number(5) }"},
      {"!custom '5'", Kind::Tagged, "TaggedValue { tag: !custom, value: String(\"5\") }"},
      {"!custom", Kind::Tagged, "TaggedValue { tag: !custom, value: Null }"},
      {"!!binary abc", Kind::Tagged, "TaggedValue { tag: !!binary, value: String(\"abc\") }"},
      {"!<tag:example.com,2000:x> 1", Kind::Tagged,
       "TaggedValue { tag: !<tag:example.com,2000:x>, value: Number(1) }"},
      {"!t [1]", Kind::Tagged, "TaggedValue { tag: !t, value: Sequence [Number(1)] }"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.yaml);
    Node n = parse(c.yaml);
    EXPECT_EQ(n.kind, c.kind);
    EXPECT_EQ(n.debug(), c.rendering);
  }
}

TEST(YamlTree, KeepsExactIntegerValues) {
  Node min = parse("-9223372036854775808");
  EXPECT_EQ(min.as_int64(), INT64_MIN);
  EXPECT_EQ(min.as_uint64(), std::nullopt);

  Node big = parse("18446744073709551615");
  EXPECT_TRUE(big.above_int64);
  EXPECT_EQ(big.as_int64(), std::nullopt);
  EXPECT_EQ(big.as_uint64(), UINT64_MAX);

  Node just_above = parse("9223372036854775808");
  EXPECT_TRUE(just_above.above_int64);
  EXPECT_EQ(just_above.as_uint64(), 9223372036854775808ULL);

  Node max = parse("9223372036854775807");
  EXPECT_FALSE(max.above_int64);
  EXPECT_EQ(max.as_int64(), INT64_MAX);
  EXPECT_EQ(max.as_uint64(), 9223372036854775807ULL);

  Node tagged = parse("!t -4");
  EXPECT_EQ(tagged.as_int64(), -4);

  EXPECT_TRUE(std::isnan(parse(".nan").real));
  EXPECT_EQ(parse("-.inf").real, -INFINITY);
}

TEST(YamlTree, ScalarsKeepTheirText) {
  const std::pair<const char*, const char*> cases[] = {
      {"0x1F", "0x1F"},       {"+5", "+5"},     {"~", "~"},
      {"1.50", "1.50"},       {"TRUE", "TRUE"}, {"'it''s'", "it's"},
      {"\"a\\tb\"", "a\tb"},  {"!!int '7'", "7"},
  };
  for (const auto& [yaml, text] : cases) {
    SCOPED_TRACE(yaml);
    EXPECT_EQ(*parse(yaml).scalar_text(), text);
  }
  Node empty = parse("a:");
  ASSERT_NE(empty.find("a"), nullptr);
  EXPECT_EQ(empty.find("a")->text, "");
  EXPECT_EQ(parse("[1]").scalar_text(), nullptr);
}

TEST(YamlTree, StandardTagMismatchIsAnError) {
  const std::pair<const char*, std::vector<std::string>> cases[] = {
      {"v: !!int abc", {"'abc'", "!!int", "line 1, column 4"}},
      {"v: !!int 1.5", {"'1.5'", "!!int"}},
      {"v: !!int 99999999999999999999", {"'99999999999999999999'", "out of range", "!!int"}},
      {"v: !!float abc", {"'abc'", "!!float"}},
      {"v: !!bool yes", {"'yes'", "!!bool"}},
      {"v: !!null 0", {"'0'", "!!null"}},
      {"v: !!seq x", {"!!seq", "scalar", "line 1, column 4"}},
      {"v: !!map [1]", {"!!map", "sequence", "line 1, column 4"}},
      {"v: !!str {a: 1}", {"!!str", "mapping", "line 1, column 4"}},
      {"v: !!seq {a: 1}", {"!!seq", "mapping"}},
      // Control characters from the document are escaped, never embedded.
      {"v: !!int \"a\\0b\\nc\"", {"'a\\u{00}b\\nc'", "!!int"}},
  };
  for (const auto& [yaml, parts] : cases) {
    SCOPED_TRACE(yaml);
    std::string msg = parse_error(yaml);
    for (const auto& part : parts) EXPECT_TRUE(contains(msg, part)) << msg;
  }
}

TEST(YamlTree, RendersForErrorMessages) {
  const std::pair<const char*, const char*> cases[] = {
      {"{name: x, n: 1}", "Mapping {String(\"name\"): String(\"x\"), String(\"n\"): Number(1)}"},
      {"[1, a]", "Sequence [Number(1), String(\"a\")]"},
      {"[]", "Sequence []"},
      {"{}", "Mapping {}"},
      {"[~, true, false, -0.0, 1.0e20]",
       "Sequence [Null, Bool(true), Bool(false), Number(-0), Number(1e+20)]"},
      {"[[{a: [b]}]]", "Sequence [Sequence [Mapping {String(\"a\"): Sequence [String(\"b\")]}]]"},
      {"\"q\\\"b\\\\s\\nn\\tt\\rr\\x01c\\x7fd\\u0085e\"",
       "String(\"q\\\"b\\\\s\\nn\\tt\\rr\\u{01}c\\u{7f}d\\u{85}e\")"},
      {"\"\\u00e9\\u4e2d\"", "String(\"\xc3\xa9\xe4\xb8\xad\")"},
      {"{!k a: !v [1]}",
       "Mapping {TaggedValue { tag: !k, value: String(\"a\") }: "
       "TaggedValue { tag: !v, value: Sequence [Number(1)] }}"},
  };
  for (const auto& [yaml, rendering] : cases) {
    SCOPED_TRACE(yaml);
    EXPECT_EQ(parse(yaml).debug(), rendering);
  }
}

TEST(YamlTree, MappingLookupAndTags) {
  Node root = parse(
      "b: 1\n"
      "a: 2\n"
      "'q': 3\n"
      "!t tagged: 4\n"
      "5: five\n"
      "<<: {m: 1}\n"
      "wrapped: !w {inner: 6}\n");
  ASSERT_EQ(root.kind, Kind::Mapping);
  ASSERT_EQ(root.entries.size(), 7u);
  EXPECT_EQ(root.entries[0].first.text, "b");  // document order
  EXPECT_EQ(root.entries[1].first.text, "a");
  EXPECT_EQ(root.find("a")->integer, 2);
  EXPECT_EQ(root.find("q")->integer, 3);
  EXPECT_EQ(root.find("tagged"), nullptr);  // tags on keys are not looked through
  EXPECT_EQ(root.find("5"), nullptr);       // an Int key is not a String key
  EXPECT_EQ(root.find("missing"), nullptr);
  // The merge key is an ordinary key.
  ASSERT_NE(root.find("<<"), nullptr);
  EXPECT_EQ(root.find("m"), nullptr);

  const Node* wrapped = root.find("wrapped");
  ASSERT_NE(wrapped, nullptr);
  EXPECT_TRUE(wrapped->is_tagged());
  EXPECT_TRUE(wrapped->is_mapping());
  EXPECT_EQ(wrapped->tag, "!w");
  ASSERT_NE(wrapped->find("inner"), nullptr);
  EXPECT_EQ(wrapped->find("inner")->integer, 6);

  EXPECT_EQ(parse("[a]").find("a"), nullptr);
  EXPECT_EQ(parse("a").find("a"), nullptr);

  // Several wrappers can only be built by hand; untagged() removes them all.
  Node inner;
  inner.kind = Kind::String;
  inner.text = "x";
  Node once;
  once.kind = Kind::Tagged;
  once.tag = "!a";
  once.items.push_back(inner);
  Node twice;
  twice.kind = Kind::Tagged;
  twice.tag = "!b";
  twice.items.push_back(once);
  EXPECT_EQ(&twice.untagged(), &twice.items[0].items[0]);
  EXPECT_TRUE(twice.is_string());
  EXPECT_EQ(*twice.scalar_text(), "x");
}

struct MarkCase {
  const char* yaml;
  const char* key;
  uint32_t key_line, key_column;
  uint32_t value_line, value_column;
};

TEST(YamlTree, MarksPointAtTheStartOfEachNode) {
  const MarkCase cases[] = {
      {"a: 1", "a", 1, 1, 1, 4},
      {"x: 0\n\"q\": 'v'", "q", 2, 1, 2, 6},
      {"x: 0\n'q' :  \"v\"", "q", 2, 1, 2, 8},
      {"{\"a\": [1]}", "a", 1, 2, 1, 7},
      {"l: |\n  text\n", "l", 1, 1, 1, 4},
      {"l: |\n\n\n  text\n", "l", 1, 1, 1, 4},
      {"k: >-  # a comment with | and >\n  x\n", "k", 1, 1, 1, 4},
      {"x: &anc [1]", "x", 1, 1, 1, 4},
      {"x: !t &anc 1", "x", 1, 1, 1, 4},
      {"x: &anc !t 1", "x", 1, 1, 1, 4},
      {"a: &v 1\nb:   *v", "b", 2, 1, 2, 6},
      {"top:\n  inner: v\n", "top", 1, 1, 2, 3},
      {"top:\n  - v\n", "top", 1, 1, 2, 3},
      {"\xc3\xa9t\xc3\xa9: x\nz: y", "z", 2, 1, 2, 4},
      {"\xc3\xa9t\xc3\xa9: x", "\xc3\xa9t\xc3\xa9", 1, 1, 1, 6},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.yaml);
    Node root = parse(c.yaml);
    const Node* key = nullptr;
    const Node* value = nullptr;
    for (const auto& [k, v] : root.untagged().entries) {
      if (k.text == c.key) {
        key = &k;
        value = &v;
      }
    }
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(key->mark.line, c.key_line);
    EXPECT_EQ(key->mark.column, c.key_column);
    EXPECT_EQ(value->mark.line, c.value_line);
    EXPECT_EQ(value->mark.column, c.value_column);
  }

  // Inside sequences, and a block scalar under a sequence entry.
  Node seq = parse("- a\n-   'b'\n- k:\n    |\n    x\n");
  ASSERT_EQ(seq.items.size(), 3u);
  EXPECT_EQ(seq.mark.line, 1u);
  EXPECT_EQ(seq.mark.column, 1u);
  EXPECT_EQ(seq.items[1].mark.line, 2u);
  EXPECT_EQ(seq.items[1].mark.column, 5u);
  const Node* block = seq.items[2].find("k");
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(block->mark.line, 4u);
  EXPECT_EQ(block->mark.column, 5u);

  Node empty = parse("");
  EXPECT_EQ(empty.mark.line, 1u);
  EXPECT_EQ(empty.mark.column, 1u);
}

TEST(YamlTree, RepeatedKeysAreErrors) {
  const std::pair<const char*, std::vector<std::string>> errors[] = {
      {"a: 1\na: 2", {"repeated key 'a' at line 2, column 1", "first at line 1, column 1"}},
      {"a: 1\n\"a\": 2", {"repeated key 'a' at line 2, column 1"}},
      {"x:\n  'k': 1\n  k: 2", {"repeated key 'k' at line 3, column 3"}},
      {"1: x\n0x1: y", {"repeated key '0x1' at line 2, column 1"}},
      {"~: a\nnull: b", {"repeated key 'null' at line 2, column 1"}},
      {"!t a: 1\n!t a: 2", {"repeated key 'a' at line 2, column 1"}},
      {"&k a: 1\n*k : 2", {"repeated key 'a' at line 2, column 1"}},
      {"{[1, 2]: a, [1, 2]: b}", {"repeated key Sequence [Number(1), Number(2)]", "column 13"}},
      {"{? {x: 1} : a, ? {x: 1} : b}", {"repeated key Mapping {String(\"x\"): Number(1)}"}},
      {"\"a\\0\": 1\n\"a\\0\": 2", {"repeated key 'a\\u{00}' at line 2, column 1"}},
  };
  for (const auto& [yaml, parts] : errors) {
    SCOPED_TRACE(yaml);
    std::string msg = parse_error(yaml);
    for (const auto& part : parts) EXPECT_TRUE(contains(msg, part)) << msg;
  }

  // Different kinds or tags are different keys; the same key in different
  // mappings is fine.
  const char* fine[] = {
      "1: a\n'1': b",
      "true: a\n'true': b",
      "!t a: 1\na: 2",
      "!t a: 1\n!u a: 2",
      "1: a\n1.0: b",
      "a: {k: 1}\nb: {k: 2}",
      "[{k: 1}, {k: 2}]",
      "{[1, 2]: a, [2, 1]: b}",
  };
  for (const char* yaml : fine) {
    SCOPED_TRACE(yaml);
    EXPECT_NO_THROW(parse(yaml));
  }
}

TEST(YamlTree, AcceptsExactlyOneDocument) {
  const std::pair<const char*, const char*> errors[] = {
      {"a: 1\n---\nb: 2\n", "line 2, column 1"},
      {"a\n...\nb\n", "line 3, column 1"},
      {"--- a\n--- b\n", "line 2, column 1"},
      {"---\na: 1\n...\n---\n", "line 4, column 1"},
  };
  for (const auto& [yaml, where] : errors) {
    SCOPED_TRACE(yaml);
    std::string msg = parse_error(yaml);
    EXPECT_TRUE(contains(msg, "more than one YAML document")) << msg;
    EXPECT_TRUE(contains(msg, where)) << msg;
  }

  EXPECT_EQ(parse("").kind, Kind::Null);
  EXPECT_EQ(parse("# only a comment\n\n   \n").kind, Kind::Null);
  EXPECT_EQ(parse("---\n").kind, Kind::Null);
  EXPECT_EQ(parse("---\na: 1\n...\n# trailing comment\n").debug(),
            "Mapping {String(\"a\"): Number(1)}");
}

TEST(YamlTree, ExpandsAliasesIntoCopies) {
  Node root = parse("a: &x {k: [1, 2]}\nb: *x\nc: [*x, *x]\n");
  const Node* a = root.find("a");
  const Node* b = root.find("b");
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->debug(), a->debug());
  EXPECT_EQ(root.find("c")->debug(), "Sequence [" + a->debug() + ", " + a->debug() + "]");
  // The copy's root points at the alias; its insides at where they are written.
  EXPECT_EQ(b->mark.line, 2u);
  EXPECT_EQ(b->mark.column, 4u);
  EXPECT_EQ(b->entries[0].first.mark.line, 1u);
  EXPECT_NE(&b->entries[0], &a->entries[0]);

  // A later anchor of the same name takes over.
  EXPECT_EQ(parse("a: &x 1\nb: &x 2\nc: *x\n").find("c")->integer, 2);
  // Tags travel with the copy.
  EXPECT_EQ(parse("a: &x !t 1\nb: *x\n").find("b")->debug(),
            "TaggedValue { tag: !t, value: Number(1) }");

  std::string msg = parse_error("a: *nope");
  EXPECT_TRUE(contains(msg, "unknown alias '*nope' at line 1, column 4")) << msg;
  msg = parse_error("a: &x [1, *x]");
  EXPECT_TRUE(contains(msg, "'*x'")) << msg;
  EXPECT_TRUE(contains(msg, "line 1, column 11")) << msg;
}

TEST(YamlTree, NodeBudgetCountsEveryExpansion) {
  // 1 outer sequence + 3 for the anchored one + 3 for each of two aliases.
  const char* doc = "[&a [1, 2], *a, *a]";
  EXPECT_NO_THROW(parse(doc, Limits{10, 256}));
  std::string msg = parse_error(doc, Limits{9, 256});
  EXPECT_TRUE(contains(msg, "alias expansion exceeds the node budget of 9")) << msg;
  EXPECT_TRUE(contains(msg, "'*a'")) << msg;
  EXPECT_TRUE(contains(msg, "line 1, column 17")) << msg;

  // Tag wrappers are nodes too.
  EXPECT_NO_THROW(parse("[!t 1]", Limits{3, 256}));
  EXPECT_TRUE(contains(parse_error("[!t 1]", Limits{2, 256}), "node budget of 2"));

  // Without aliases the budget still holds.
  msg = parse_error("[1, 2, 3]", Limits{3, 256});
  EXPECT_TRUE(contains(msg, "exceeds the node budget of 3")) << msg;
  EXPECT_TRUE(contains(msg, "line 1, column 8")) << msg;
}

TEST(YamlTree, BillionLaughsFailsFast) {
  std::string doc = "l0: &l0 [lol, lol, lol, lol, lol, lol, lol, lol, lol, lol]\n";
  for (int i = 1; i < 12; ++i) {
    std::string prev = "*l" + std::to_string(i - 1);
    doc += "l" + std::to_string(i) + ": &l" + std::to_string(i) + " [";
    for (int j = 0; j < 10; ++j) doc += (j ? ", " : "") + prev;
    doc += "]\n";
  }
  const auto start = std::chrono::steady_clock::now();
  std::string msg = parse_error(doc);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_TRUE(contains(msg, "alias expansion exceeds the node budget of 1000000")) << msg;
  EXPECT_TRUE(contains(msg, "line 6, column")) << msg;
  // Nothing is expanded before the budget is checked, so this is instant.
  EXPECT_LT(elapsed, std::chrono::seconds(1));

  // One wide level: each alias is cheap on its own, their sum is not.
  std::string wide = "a: &a [";
  for (int i = 0; i < 1000; ++i) wide += (i ? ",x" : "x");
  wide += "]\nb: [";
  for (int i = 0; i < 2000; ++i) wide += (i ? ",*a" : "*a");
  wide += "]\n";
  EXPECT_TRUE(contains(parse_error(wide), "node budget"));
}

TEST(YamlTree, DeepNestingIsAnErrorNotACrash) {
  std::string block_maps;
  for (int i = 0; i < 300; ++i) block_maps += std::string(static_cast<size_t>(i) * 2, ' ') + "k:\n";
  std::string block_seqs;
  for (int i = 0; i < 100000; ++i) block_seqs += "- ";
  block_seqs += "x\n";

  const std::string deep[] = {
      nested("[", "]", 100000),
      std::string(100000, '['),
      std::string(100000, '{'),
      nested("{a: ", "}", 100000),
      block_seqs,
      block_maps,
  };
  for (const auto& doc : deep) {
    SCOPED_TRACE(doc.substr(0, 20));
    std::string msg = parse_error(doc);
    EXPECT_TRUE(contains(msg, "nesting exceeds the depth limit of 256")) << msg;
    EXPECT_TRUE(contains(msg, "line ")) << msg;
  }

  EXPECT_NO_THROW(parse(nested("[", "]", 256)));
  std::string msg = parse_error(nested("[", "]", 257));
  EXPECT_TRUE(contains(msg, "line 1, column 257")) << msg;
  EXPECT_NO_THROW(parse(nested("[", "]", 10), Limits{1000, 10}));
  EXPECT_TRUE(contains(parse_error(nested("[", "]", 11), Limits{1000, 10}), "depth limit of 10"));
}

TEST(YamlTree, DepthLimitHoldsThroughAliases) {
  // The alias lands three levels down and carries three more.
  const char* doc = "a: &x [[[1]]]\nb: [[*x]]\n";
  EXPECT_NO_THROW(parse(doc, Limits{1000, 6}));
  std::string msg = parse_error(doc, Limits{1000, 5});
  EXPECT_TRUE(contains(msg, "depth limit of 5")) << msg;
  EXPECT_TRUE(contains(msg, "'*x'")) << msg;
  EXPECT_TRUE(contains(msg, "line 2, column 6")) << msg;
}

TEST(YamlTree, SyntaxErrorsCarryPositionAndStayOffStderr) {
  const std::pair<const char*, const char*> cases[] = {
      {"a: [1, 2\n", "line 2, column 1"},
      {"a: @x\n", "line 1, column 4"},
      {"{a: 1, b: 2]\n", "line 1, column 12"},
      {"a: 'unterminated\n", "line "},
      {"a:\n\t- x\n", "line "},
  };
  for (const auto& [yaml, where] : cases) {
    SCOPED_TRACE(yaml);
    testing::internal::CaptureStderr();
    std::string msg;
    Limits limits;
    try {
      parse(yaml, limits);
      ADD_FAILURE() << "no error";
    } catch (const ParseError& e) {
      msg = e.what();
      EXPECT_GT(e.mark.line, 0u);
      EXPECT_GT(e.mark.column, 0u);
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(contains(msg, "YAML syntax error: ")) << msg;
    EXPECT_TRUE(contains(msg, where)) << msg;
    EXPECT_TRUE(contains(msg, "column")) << msg;
  }
}

TEST(YamlTree, ParsesConcurrently) {
  const std::vector<std::string> docs = {
      "a: &x {k: [1, 2, 0x10]}\nb: *x\n",
      "a: [1, 2\n",
      "a: 1\na: 2\n",
      nested("[", "]", 300),
      "- !t x\n- 'q'\n- 1.5\n",
  };
  auto outcome = [](const std::string& doc) {
    try {
      return parse(doc).debug();
    } catch (const ParseError& e) {
      return std::string("error: ") + e.what();
    }
  };
  std::vector<std::string> expected;
  for (const auto& d : docs) expected.push_back(outcome(d));

  std::vector<std::thread> threads;
  std::vector<int> mismatches(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 50; ++round) {
        for (size_t i = 0; i < docs.size(); ++i) {
          if (outcome(docs[i]) != expected[i]) ++mismatches[static_cast<size_t>(t)];
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int m : mismatches) EXPECT_EQ(m, 0);
}

}  // namespace
