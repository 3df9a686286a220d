#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/schema_check.hpp"

namespace {

using norva::config::check_schema;
using norva::config::ConfigError;
using norva::config::FieldMap;
using norva::config::FieldSchema;
using norva::config::load_schema;

std::string config_error(const std::string& text) {
  try {
    check_schema(text);
  } catch (const ConfigError& e) {
    return e.what();
  }
  ADD_FAILURE() << "no ConfigError for:\n" << text;
  return {};
}

const FieldSchema* field(const FieldMap& fields, const std::string& name) {
  for (const auto& [n, entry] : fields) {
    if (n == name) return &entry;
  }
  return nullptr;
}

TEST(SchemaCheck, ReadsTheExampleDocument) {
  const char* doc =
      "context:\n"
      "  domain:\n"
      "    user_id:\n"
      "      type: int\n"
      "      required: true\n"
      "    nickname:\n";
  EXPECT_NO_THROW(check_schema(doc));
  auto schema = load_schema(doc);
  ASSERT_TRUE(schema.context.has_value());
  EXPECT_TRUE(schema.context->global.empty());
  ASSERT_EQ(schema.context->domain.size(), 2u);
  EXPECT_EQ(schema.context->domain[0].first, "user_id");  // document order
  EXPECT_EQ(schema.context->domain[0].second.type, "int");
  EXPECT_TRUE(schema.context->domain[0].second.required);
  EXPECT_FALSE(schema.context->domain[0].second.default_value.has_value());
  // An empty field takes every default.
  EXPECT_EQ(schema.context->domain[1].first, "nickname");
  EXPECT_EQ(schema.context->domain[1].second.type, "string");
  EXPECT_TRUE(schema.context->domain[1].second.required);
  EXPECT_FALSE(schema.context->domain[1].second.default_value.has_value());
}

TEST(SchemaCheck, EmptyPartsCountAsAbsent) {
  const char* docs[] = {
      "",
      "# nothing here\n",
      "{}",
      "~",
      "context:",
      "context: ~",
      "context: null",
      "context: {}",
      "context:\n  global:\n  domain: ~\n",
  };
  for (const char* doc : docs) {
    SCOPED_TRACE(doc);
    auto schema = load_schema(doc);
    if (schema.context) {
      EXPECT_TRUE(schema.context->global.empty());
      EXPECT_TRUE(schema.context->domain.empty());
    }
  }
  EXPECT_FALSE(load_schema("context: ~").context.has_value());
  EXPECT_FALSE(load_schema("").context.has_value());
  EXPECT_TRUE(load_schema("context: {}").context.has_value());
}

TEST(SchemaCheck, ReadsFieldValuesAsText) {
  auto schema = load_schema(
      "context:\n"
      "  global:\n"
      "    count:\n"
      "      type: 5\n"
      "      required: false\n"
      "      default: 0x10\n"
      "    label:\n"
      "      type: 'text'\n"
      "      default: ~\n"
      "    flag: {required: !!bool 'false', default: \"~\"}\n"
      "    7: {default: 1.50}\n"
      "    'quoted name':\n");
  ASSERT_TRUE(schema.context.has_value());
  const auto& global = schema.context->global;
  ASSERT_EQ(global.size(), 5u);

  const FieldSchema* count = field(global, "count");
  ASSERT_NE(count, nullptr);
  EXPECT_EQ(count->type, "5");
  EXPECT_FALSE(count->required);
  EXPECT_EQ(count->default_value, "0x10");

  const FieldSchema* label = field(global, "label");
  ASSERT_NE(label, nullptr);
  EXPECT_EQ(label->type, "text");
  EXPECT_FALSE(label->default_value.has_value());

  const FieldSchema* flag = field(global, "flag");
  ASSERT_NE(flag, nullptr);
  EXPECT_FALSE(flag->required);
  EXPECT_EQ(flag->default_value, "~");  // quoted, so a string and not null

  const FieldSchema* seven = field(global, "7");
  ASSERT_NE(seven, nullptr);
  EXPECT_EQ(seven->default_value, "1.50");

  EXPECT_NE(field(global, "quoted name"), nullptr);
}

TEST(SchemaCheck, LooksThroughTags) {
  auto schema = load_schema(
      "!root\n"
      "context: !ctx\n"
      "  domain: !fields\n"
      "    !name id: !field\n"
      "      type: !t int\n"
      "      required: !b false\n"
      "      default: !d 3\n"
      "    other: !empty\n");
  ASSERT_TRUE(schema.context.has_value());
  const FieldSchema* id = field(schema.context->domain, "id");
  ASSERT_NE(id, nullptr);
  EXPECT_EQ(id->type, "int");
  EXPECT_FALSE(id->required);
  EXPECT_EQ(id->default_value, "3");
  const FieldSchema* other = field(schema.context->domain, "other");
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(other->type, "string");
}

struct InvalidCase {
  const char* name;
  const char* yaml;
  std::vector<std::string> parts;  // each must appear in the message
};

TEST(SchemaCheck, RejectsInvalidDocuments) {
  const InvalidCase cases[] = {
      {"misspelt top key", "contexts:\n  domain: {}\n",
       {"unknown key 'contexts' in the document at line 1, column 1",
        "(expected one of: context)"}},
      {"top key is case-sensitive", "Context: {}\n", {"unknown key 'Context'", "line 1, column 1"}},
      {"non-string top key", "5: x\n", {"unknown key '5'", "line 1, column 1"}},
      {"unknown zone", "context:\n  local: {}\n",
       {"unknown key 'local' in 'context' at line 2, column 3 (expected one of: global, domain)"}},
      {"unknown field key", "context:\n  domain:\n    user_id:\n      kind: int\n",
       {"unknown key 'kind' in field 'user_id' at line 4, column 7 "
        "(expected one of: type, required, default)"}},
      {"required not a boolean", "context:\n  domain:\n    user_id:\n      required: yes-please\n",
       {"invalid value for 'required' at line 4, column 17: expected a boolean (true or false), "
        "found String(\"yes-please\")"}},
      {"required: yes", "context:\n  domain:\n    a: {required: yes}\n",
       {"'required'", "String(\"yes\")", "line 3, column 19"}},
      {"required: 1", "context:\n  domain:\n    a: {required: 1}\n",
       {"'required'", "Number(1)", "line 3, column 19"}},
      {"required quoted", "context:\n  domain:\n    a: {required: 'true'}\n",
       {"'required'", "String(\"true\")"}},
      {"required empty", "context:\n  domain:\n    a:\n      required:\n",
       {"'required'", "found Null", "line 4"}},
      {"two domain keys", "context:\n  domain:\n    a:\n  domain:\n    b:\n",
       {"repeated key 'domain' at line 4, column 3", "first at line 2, column 3"}},
      {"repeated key once tags are looked through", "context: {}\n!t context: {}\n",
       {"repeated key 'context' at line 2, column 1"}},
      {"repeated field name", "context:\n  global:\n    a:\n    b:\n    a:\n",
       {"repeated key 'a' at line 5, column 5"}},
      {"field names equal as text", "context:\n  global:\n    1:\n    '1':\n",
       {"repeated key '1' at line 4, column 5"}},
      {"repeated key inside a field", "context:\n  global:\n    a:\n      type: x\n      type: y\n",
       {"repeated key 'type' at line 5, column 7"}},
      {"field schema is a scalar", "context:\n  domain:\n    a: int\n",
       {"expected a mapping or an empty value for field 'a' at line 3, column 8",
        "found String(\"int\")"}},
      {"field schema is a sequence", "context:\n  domain:\n    a: [int]\n",
       {"field 'a' at line 3, column 8", "found Sequence [String(\"int\")]"}},
      {"context is a sequence", "context: [a]\n",
       {"expected a mapping for 'context' at line 1, column 10, found Sequence [String(\"a\")]"}},
      {"zone is a scalar", "context:\n  domain: 5\n",
       {"expected a mapping for 'domain' at line 2, column 11, found Number(5)"}},
      {"document is a sequence", "- context\n",
       {"expected a mapping for the document at line 1, column 1", "Sequence"}},
      {"field name is not a scalar", "context:\n  global:\n    [a]: {}\n",
       {"expected a scalar field name in 'global' at line 3, column 5",
        "Sequence [String(\"a\")]"}},
      {"type is a sequence", "context:\n  global:\n    a:\n      type: [a]\n",
       {"invalid value for 'type' at line 4, column 13: expected a scalar",
        "Sequence [String(\"a\")]"}},
      {"default is a mapping", "context:\n  global:\n    a:\n      default: {x: 1}\n",
       {"invalid value for 'default' at line 4, column 16", "Mapping {String(\"x\"): Number(1)}"}},
      {"syntax error", "context:\n  domain: [a, b\n",
       {"YAML syntax error", "line 3, column 1"}},
      {"repeated key in the YAML itself", "context:\ncontext:\n",
       {"repeated key 'context' at line 2, column 1"}},
      {"more than one document", "context:\n---\ncontext:\n",
       {"more than one YAML document", "line 2, column 1"}},
      {"control characters in a key", "context:\n  global:\n    \"a\\tb\":\n      \"k\\0\": 1\n",
       {"unknown key 'k\\u{00}' in field 'a\\tb' at line 4, column 7"}},
      {"unknown alias", "context: *c\n", {"unknown alias '*c'", "line 1, column 10"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string msg = config_error(c.yaml);
    EXPECT_NE(msg.find("line "), std::string::npos) << msg;
    EXPECT_NE(msg.find("column "), std::string::npos) << msg;
    for (const auto& part : c.parts) EXPECT_NE(msg.find(part), std::string::npos) << msg;
  }
}

TEST(SchemaCheck, ShortensLargeValuesInMessages) {
  std::string doc = "context: [";
  for (int i = 0; i < 500; ++i) doc += (i ? ", " : "") + std::string("item");
  doc += "]\n";
  std::string msg = config_error(doc);
  EXPECT_NE(msg.find("found Sequence [String(\"item\")"), std::string::npos) << msg;
  EXPECT_NE(msg.find("..."), std::string::npos) << msg;
  EXPECT_LT(msg.size(), 400u);
}

}  // namespace
