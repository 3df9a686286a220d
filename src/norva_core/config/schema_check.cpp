#include "config/schema_check.hpp"

#include <initializer_list>
#include <unordered_map>

#include "flux/yaml_tree.hpp"

namespace norva::config {

namespace {

using yaml::Kind;
using yaml::Mark;
using yaml::Node;
using Entries = std::vector<std::pair<Node, Node>>;

std::string at(Mark m) {
  return "at line " + std::to_string(m.line) + ", column " + std::to_string(m.column);
}

// A found value as shown to the user; a large one is cut short so a message
// stays readable, without splitting a UTF-8 sequence.
std::string shown(const Node& n) {
  constexpr size_t kMax = 160;
  std::string s = n.debug();
  if (s.size() <= kMax) return s;
  size_t cut = kMax;
  while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) --cut;
  s.resize(cut);
  return s + "...";
}

std::string quoted(const std::string& text) { return "'" + yaml::escape_controls(text) + "'"; }

std::string key_shown(const Node& key) {
  if (const std::string* text = key.scalar_text()) return quoted(*text);
  return shown(key.untagged());
}

// An empty value stands for an empty mapping wherever a mapping is expected.
const Entries& mapping_entries(const Node& value, const std::string& what) {
  static const Entries kEmpty;
  const Node& v = value.untagged();
  if (v.kind == Kind::Null) return kEmpty;
  if (v.kind != Kind::Mapping) {
    throw ConfigError("expected a mapping for " + what + " " + at(value.mark) + ", found " +
                      shown(v));
  }
  return v.entries;
}

// The tree already rejects keys equal in kind and value; this also catches
// keys that only become equal once tags are looked through or once they are
// read as text (`1` and "1").
class RepeatGuard {
 public:
  void add(const std::string& name, const Node& key) {
    auto [it, inserted] = seen_.emplace(name, key.mark);
    if (!inserted) {
      throw ConfigError("repeated key " + quoted(name) + " " + at(key.mark) + " (first " +
                        at(it->second) + ")");
    }
  }

 private:
  std::unordered_map<std::string, Mark> seen_;
};

// For levels with a fixed set of keys: the key's name when it is one of
// `allowed`, else a ConfigError naming what is expected there.
const std::string& known_key(const Node& key, std::initializer_list<const char*> allowed,
                             const std::string& where, RepeatGuard& guard) {
  const Node& k = key.untagged();
  if (k.kind == Kind::String) {
    for (const char* name : allowed) {
      if (k.text == name) {
        guard.add(k.text, key);
        return k.text;
      }
    }
  }
  std::string expected;
  for (const char* name : allowed) {
    if (!expected.empty()) expected += ", ";
    expected += name;
  }
  throw ConfigError("unknown key " + key_shown(key) + " " + where + " " + at(key.mark) +
                    " (expected one of: " + expected + ")");
}

std::string scalar_value(const Node& value, const char* key) {
  if (const std::string* text = value.scalar_text()) return *text;
  throw ConfigError(std::string("invalid value for '") + key + "' " + at(value.mark) +
                    ": expected a scalar, found " + shown(value.untagged()));
}

FieldSchema read_field(const std::string& name, const Node& value) {
  FieldSchema entry;
  const Node& v = value.untagged();
  if (v.kind == Kind::Null) return entry;
  if (v.kind != Kind::Mapping) {
    throw ConfigError("expected a mapping or an empty value for field " + quoted(name) + " " +
                      at(value.mark) + ", found " + shown(v));
  }
  RepeatGuard guard;
  const std::string where = "in field " + quoted(name);
  for (const auto& [key, item] : v.entries) {
    const std::string& k = known_key(key, {"type", "required", "default"}, where, guard);
    if (k == "type") {
      entry.type = scalar_value(item, "type");
    } else if (k == "required") {
      const Node& b = item.untagged();
      if (b.kind != Kind::Bool) {
        throw ConfigError("invalid value for 'required' " + at(item.mark) +
                          ": expected a boolean (true or false), found " + shown(b));
      }
      entry.required = b.boolean;
    } else {
      if (item.is_null()) {
        entry.default_value.reset();
      } else if (const std::string* text = item.scalar_text()) {
        entry.default_value = *text;
      } else {
        throw ConfigError("invalid value for 'default' " + at(item.mark) +
                          ": expected a scalar or an empty value, found " +
                          shown(item.untagged()));
      }
    }
  }
  return entry;
}

FieldMap read_fields(const Node& value, const std::string& zone) {
  FieldMap fields;
  RepeatGuard guard;
  for (const auto& [key, entry] : mapping_entries(value, "'" + zone + "'")) {
    const std::string* name = key.scalar_text();
    if (!name) {
      throw ConfigError("expected a scalar field name in '" + zone + "' " + at(key.mark) +
                        ", found " + shown(key.untagged()));
    }
    guard.add(*name, key);
    fields.emplace_back(*name, read_field(*name, entry));
  }
  return fields;
}

ContextConfig read_context(const Node& value) {
  ContextConfig context;
  RepeatGuard guard;
  for (const auto& [key, item] : mapping_entries(value, "'context'")) {
    const std::string& k = known_key(key, {"global", "domain"}, "in 'context'", guard);
    if (k == "global") {
      context.global = read_fields(item, "global");
    } else {
      context.domain = read_fields(item, "domain");
    }
  }
  return context;
}

}  // namespace

SchemaDocument load_schema(std::string_view yaml_text) {
  Node root;
  try {
    root = yaml::parse(yaml_text);
  } catch (const yaml::ParseError& e) {
    throw ConfigError(e.what());
  }
  SchemaDocument doc;
  RepeatGuard guard;
  for (const auto& [key, item] : mapping_entries(root, "the document")) {
    known_key(key, {"context"}, "in the document", guard);
    if (item.is_null()) {
      doc.context.reset();
    } else {
      doc.context = read_context(item);
    }
  }
  return doc;
}

void check_schema(std::string_view yaml_text) { (void)load_schema(yaml_text); }

}  // namespace norva::config
