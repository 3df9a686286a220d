// Reads and checks a schema document: the fields declared for the global and
// the domain context zones.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace norva::config {

// what() is the complete user-facing description, naming the key or value
// involved and its line and column.
struct ConfigError : std::runtime_error {
  using runtime_error::runtime_error;
};

struct FieldSchema {
  std::string type = "string";
  bool required = true;
  std::optional<std::string> default_value;  // nullopt when absent or null
};

// Field name -> its schema, in document order; names are unique.
using FieldMap = std::vector<std::pair<std::string, FieldSchema>>;

struct ContextConfig {
  FieldMap global;
  FieldMap domain;
};

struct SchemaDocument {
  std::optional<ContextConfig> context;  // nullopt when absent or null
};

// Reads the whole document into records; throws ConfigError on the first
// problem found.
SchemaDocument load_schema(std::string_view yaml_text);

// Returns on a valid document; throws ConfigError otherwise.
void check_schema(std::string_view yaml_text);

}  // namespace norva::config
