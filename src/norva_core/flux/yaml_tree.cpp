#include "flux/yaml_tree.hpp"

#include <libfyaml.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <memory>
#include <unordered_map>

namespace norva::yaml {

// ---------------------------------------------------------------------------
// Node helpers

const Node& Node::untagged() const {
  const Node* n = this;
  while (n->kind == Kind::Tagged && !n->items.empty()) n = &n->items.front();
  return *n;
}

bool Node::is_scalar() const {
  switch (untagged().kind) {
    case Kind::Null:
    case Kind::Bool:
    case Kind::Int:
    case Kind::Float:
    case Kind::String:
      return true;
    default:
      return false;
  }
}

const Node* Node::find(std::string_view key) const {
  const Node& self = untagged();
  if (self.kind != Kind::Mapping) return nullptr;
  for (const auto& [k, v] : self.entries) {
    if (k.kind == Kind::String && k.text == key) return &v;
  }
  return nullptr;
}

std::optional<int64_t> Node::as_int64() const {
  const Node& n = untagged();
  if (n.kind != Kind::Int || n.above_int64) return std::nullopt;
  return n.integer;
}

std::optional<uint64_t> Node::as_uint64() const {
  const Node& n = untagged();
  if (n.kind != Kind::Int) return std::nullopt;
  if (n.above_int64) return static_cast<uint64_t>(n.integer);
  if (n.integer < 0) return std::nullopt;
  return static_cast<uint64_t>(n.integer);
}

const std::string* Node::scalar_text() const {
  return is_scalar() ? &untagged().text : nullptr;
}

namespace {

std::string int_to_string(const Node& n) {
  if (n.above_int64) return std::to_string(static_cast<uint64_t>(n.integer));
  return std::to_string(n.integer);
}

// Shortest text that reads back as the same double.
std::string float_to_string(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, res.ptr);
}

void append_hex_escape(std::string& out, unsigned code) {
  static const char digits[] = "0123456789abcdef";
  out += "\\u{";
  out += digits[(code >> 4) & 0xF];
  out += digits[code & 0xF];
  out += '}';
}

// `with_quotes` also escapes '"' and '\\', as needed inside String("...").
void append_escaped(std::string& out, std::string_view s, bool with_quotes) {
  for (size_t i = 0; i < s.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (with_quotes && (c == '"' || c == '\\')) {
      out += '\\';
      out += static_cast<char>(c);
      continue;
    }
    switch (c) {
      case '\n': out += "\\n"; continue;
      case '\t': out += "\\t"; continue;
      case '\r': out += "\\r"; continue;
      default: break;
    }
    if (c < 0x20 || c == 0x7F) {
      append_hex_escape(out, c);
    } else if (c == 0xC2 && i + 1 < s.size() &&
               static_cast<unsigned char>(s[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(s[i + 1]) <= 0x9F) {
      // C1 controls are as invisible as C0 ones in a terminal.
      append_hex_escape(out, static_cast<unsigned char>(s[i + 1]));
      ++i;
    } else {
      out += static_cast<char>(c);
    }
  }
}

void append_quoted(std::string& out, std::string_view s) {
  out += '"';
  append_escaped(out, s, true);
  out += '"';
}

void render(const Node& n, std::string& out) {
  switch (n.kind) {
    case Kind::Null: out += "Null"; return;
    case Kind::Bool: out += n.boolean ? "Bool(true)" : "Bool(false)"; return;
    case Kind::Int: out += "Number(" + int_to_string(n) + ")"; return;
    case Kind::Float: out += "Number(" + float_to_string(n.real) + ")"; return;
    case Kind::String:
      out += "String(";
      append_quoted(out, n.text);
      out += ')';
      return;
    case Kind::Sequence: {
      out += "Sequence [";
      bool first = true;
      for (const Node& item : n.items) {
        if (!first) out += ", ";
        first = false;
        render(item, out);
      }
      out += ']';
      return;
    }
    case Kind::Mapping: {
      out += "Mapping {";
      bool first = true;
      for (const auto& [k, v] : n.entries) {
        if (!first) out += ", ";
        first = false;
        render(k, out);
        out += ": ";
        render(v, out);
      }
      out += '}';
      return;
    }
    case Kind::Tagged:
      out += "TaggedValue { tag: ";
      out += n.tag;
      out += ", value: ";
      if (n.items.empty()) {
        out += "Null";
      } else {
        render(n.items.front(), out);
      }
      out += " }";
      return;
  }
}

}  // namespace

std::string escape_controls(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  append_escaped(out, text, false);
  return out;
}

std::string Node::debug() const {
  std::string out;
  render(*this, out);
  return out;
}

// ---------------------------------------------------------------------------
// Core schema resolution. Hand-written matchers rather than std::regex: the
// latter recurses per character and would put long scalars at the mercy of
// the native stack.

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_octal(char c) { return c >= '0' && c <= '7'; }
bool is_hex(char c) {
  return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
unsigned hex_value(char c) {
  if (is_digit(c)) return static_cast<unsigned>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<unsigned>(c - 'a' + 10);
  return static_cast<unsigned>(c - 'A' + 10);
}

bool is_null_text(std::string_view s) {
  return s.empty() || s == "~" || s == "null" || s == "Null" || s == "NULL";
}

bool bool_text(std::string_view s, bool& value) {
  if (s == "true" || s == "True" || s == "TRUE") {
    value = true;
    return true;
  }
  if (s == "false" || s == "False" || s == "FALSE") {
    value = false;
    return true;
  }
  return false;
}

// [-+]?(\.[0-9]+|[0-9]+(\.[0-9]*)?)([eE][-+]?[0-9]+)?
bool float_syntax(std::string_view s) {
  size_t i = 0;
  const size_t n = s.size();
  if (i < n && (s[i] == '-' || s[i] == '+')) ++i;
  if (i < n && s[i] == '.') {
    ++i;
    size_t start = i;
    while (i < n && is_digit(s[i])) ++i;
    if (i == start) return false;
  } else {
    size_t start = i;
    while (i < n && is_digit(s[i])) ++i;
    if (i == start) return false;
    if (i < n && s[i] == '.') {
      ++i;
      while (i < n && is_digit(s[i])) ++i;
    }
  }
  if (i < n && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < n && (s[i] == '-' || s[i] == '+')) ++i;
    size_t start = i;
    while (i < n && is_digit(s[i])) ++i;
    if (i == start) return false;
  }
  return i == n;
}

// Converts text already known to match float_syntax. from_chars rejects a
// leading '+' and leaves the value untouched when out of range, so both are
// handled here: the decimal order of magnitude tells overflow from underflow.
double decimal_to_double(std::string_view s) {
  bool negative = false;
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
    negative = s[0] == '-';
    s.remove_prefix(1);
  }
  double value = 0.0;
  auto res = std::from_chars(s.data(), s.data() + s.size(), value,
                             std::chars_format::general);
  if (res.ec == std::errc::result_out_of_range) {
    // Position of the first significant digit relative to the point, plus
    // the exponent: positive means too large, otherwise too small.
    long long magnitude = 0;
    bool seen_point = false, seen_significant = false;
    long long int_digits = 0, leading_fraction_zeros = 0;
    size_t i = 0;
    for (; i < s.size() && s[i] != 'e' && s[i] != 'E'; ++i) {
      char c = s[i];
      if (c == '.') {
        seen_point = true;
        continue;
      }
      if (!seen_point) {
        if (seen_significant || c != '0') {
          seen_significant = true;
          ++int_digits;
        }
      } else if (!seen_significant) {
        if (c == '0') {
          ++leading_fraction_zeros;
        } else {
          seen_significant = true;
        }
      }
    }
    magnitude = int_digits > 0 ? int_digits : -leading_fraction_zeros;
    if (i < s.size()) {
      // Saturate the exponent: only its sign matters past this size.
      long long exp = 0;
      bool exp_negative = false;
      size_t j = i + 1;
      if (j < s.size() && (s[j] == '+' || s[j] == '-')) {
        exp_negative = s[j] == '-';
        ++j;
      }
      for (; j < s.size(); ++j) {
        exp = std::min<long long>(exp * 10 + (s[j] - '0'), 1'000'000'000LL);
      }
      magnitude += exp_negative ? -exp : exp;
    }
    value = magnitude > 0 ? std::numeric_limits<double>::infinity() : 0.0;
  }
  return negative ? -value : value;
}

bool special_float(std::string_view s, double& value) {
  std::string_view body = s;
  bool negative = false;
  if (!body.empty() && (body[0] == '+' || body[0] == '-')) {
    negative = body[0] == '-';
    body.remove_prefix(1);
  }
  if (body == ".inf" || body == ".Inf" || body == ".INF") {
    value = negative ? -std::numeric_limits<double>::infinity()
                     : std::numeric_limits<double>::infinity();
    return true;
  }
  if (s == ".nan" || s == ".NaN" || s == ".NAN") {
    value = std::numeric_limits<double>::quiet_NaN();
    return true;
  }
  return false;
}

bool float_text(std::string_view s, double& value) {
  if (special_float(s, value)) return true;
  if (!float_syntax(s)) return false;
  value = decimal_to_double(s);
  return true;
}

enum class IntMatch { None, Fits, TooLarge };

struct IntValue {
  int64_t integer = 0;
  bool above_int64 = false;
  double as_float = 0.0;  // only for TooLarge
};

// Magnitude accumulation with overflow detection; false once it exceeds
// uint64.
bool accumulate(uint64_t& acc, unsigned base, unsigned digit) {
  if (acc > (std::numeric_limits<uint64_t>::max() - digit) / base) return false;
  acc = acc * base + digit;
  return true;
}

IntMatch finish_int(bool negative, bool overflow, uint64_t magnitude,
                    IntValue& out) {
  constexpr uint64_t kInt64Max =
      static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
  if (!overflow) {
    if (negative) {
      if (magnitude <= kInt64Max + 1) {
        out.integer = magnitude == kInt64Max + 1
                          ? std::numeric_limits<int64_t>::min()
                          : -static_cast<int64_t>(magnitude);
        out.above_int64 = false;
        return IntMatch::Fits;
      }
    } else {
      out.integer = static_cast<int64_t>(magnitude);
      out.above_int64 = magnitude > kInt64Max;
      return IntMatch::Fits;
    }
  }
  return IntMatch::TooLarge;
}

// Hex digits (no prefix) to the nearest double.
double hex_digits_to_double(std::string_view digits) {
  double value = 0.0;
  auto res = std::from_chars(digits.data(), digits.data() + digits.size(),
                             value, std::chars_format::hex);
  if (res.ec == std::errc::result_out_of_range) {
    value = std::numeric_limits<double>::infinity();
  }
  return value;
}

// [-+]?[0-9]+ | 0o[0-7]+ | 0x[0-9a-fA-F]+
IntMatch int_text(std::string_view s, IntValue& out) {
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'o')) {
    const bool hex = s[1] == 'x';
    std::string_view digits = s.substr(2);
    uint64_t acc = 0;
    bool overflow = false;
    for (char c : digits) {
      if (hex ? !is_hex(c) : !is_octal(c)) return IntMatch::None;
      if (!overflow) overflow = !accumulate(acc, hex ? 16 : 8, hex_value(c));
    }
    IntMatch m = finish_int(false, overflow, acc, out);
    if (m == IntMatch::TooLarge) {
      if (hex) {
        out.as_float = hex_digits_to_double(digits);
      } else {
        // Regroup the octal digits' bits into hex digits so the conversion
        // rounds exactly like the hex case.
        std::string bits;
        bits.reserve(digits.size() * 3);
        for (char c : digits) {
          unsigned d = static_cast<unsigned>(c - '0');
          bits += (d & 4) ? '1' : '0';
          bits += (d & 2) ? '1' : '0';
          bits += (d & 1) ? '1' : '0';
        }
        bits.insert(0, (4 - bits.size() % 4) % 4, '0');
        std::string hexdigits;
        static const char map[] = "0123456789abcdef";
        for (size_t i = 0; i < bits.size(); i += 4) {
          unsigned v = static_cast<unsigned>((bits[i] - '0') * 8 + (bits[i + 1] - '0') * 4 +
                                             (bits[i + 2] - '0') * 2 + (bits[i + 3] - '0'));
          hexdigits += map[v];
        }
        out.as_float = hex_digits_to_double(hexdigits);
      }
    }
    return m;
  }
  size_t i = 0;
  bool negative = false;
  if (!s.empty() && (s[0] == '-' || s[0] == '+')) {
    negative = s[0] == '-';
    i = 1;
  }
  if (i == s.size()) return IntMatch::None;
  uint64_t acc = 0;
  bool overflow = false;
  for (size_t j = i; j < s.size(); ++j) {
    if (!is_digit(s[j])) return IntMatch::None;
    if (!overflow) overflow = !accumulate(acc, 10, static_cast<unsigned>(s[j] - '0'));
  }
  IntMatch m = finish_int(negative, overflow, acc, out);
  if (m == IntMatch::TooLarge) out.as_float = decimal_to_double(s);
  return m;
}

void set_int(Node& n, const IntValue& v) {
  n.kind = Kind::Int;
  n.integer = v.integer;
  n.above_int64 = v.above_int64;
}

void resolve_plain(Node& n) {
  const std::string& s = n.text;
  if (is_null_text(s)) {
    n.kind = Kind::Null;
    return;
  }
  bool b;
  if (bool_text(s, b)) {
    n.kind = Kind::Bool;
    n.boolean = b;
    return;
  }
  IntValue iv;
  switch (int_text(s, iv)) {
    case IntMatch::Fits:
      set_int(n, iv);
      return;
    case IntMatch::TooLarge:
      n.kind = Kind::Float;
      n.real = iv.as_float;
      return;
    case IntMatch::None:
      break;
  }
  double d;
  if (float_text(s, d)) {
    n.kind = Kind::Float;
    n.real = d;
    return;
  }
  n.kind = Kind::String;
}

// ---------------------------------------------------------------------------
// libfyaml plumbing

std::string at(Mark m) {
  return "at line " + std::to_string(m.line) + ", column " + std::to_string(m.column);
}

Mark to_mark(const fy_mark& m) {
  return Mark{static_cast<uint32_t>(m.line + 1), static_cast<uint32_t>(m.column + 1)};
}

struct DiagDeleter {
  void operator()(fy_diag* d) const { fy_diag_destroy(d); }
};
struct ParserDeleter {
  void operator()(fy_parser* p) const { fy_parser_destroy(p); }
};

// Anything the library wants to print ends up here and is dropped: callers
// get the error through ParseError instead.
void swallow_output(fy_diag*, void* user, const char* buf, size_t len) {
  static_cast<std::string*>(user)->append(buf, std::min<size_t>(len, 4096));
}

class EventPtr {
 public:
  EventPtr(fy_parser* p, fy_event* e) : parser_(p), event_(e) {}
  EventPtr(const EventPtr&) = delete;
  EventPtr& operator=(const EventPtr&) = delete;
  ~EventPtr() {
    if (event_) fy_parser_event_free(parser_, event_);
  }
  fy_event* get() const { return event_; }
  explicit operator bool() const { return event_ != nullptr; }

 private:
  fy_parser* parser_;
  fy_event* event_;
};

std::string token_text(fy_token* t) {
  size_t len = 0;
  const char* s = fy_token_get_text(t, &len);
  return s ? std::string(s, len) : std::string();
}

constexpr uint32_t kNone = std::numeric_limits<uint32_t>::max();

enum class TagClass { None, NonSpecific, Standard, Custom };

struct TagInfo {
  TagClass cls = TagClass::None;
  std::string standard;  // "str", "int", ... for TagClass::Standard
  std::string written;   // as the author wrote it
};

TagInfo classify_tag(fy_token* t) {
  TagInfo info;
  if (!t) return info;
  size_t hlen = 0, slen = 0;
  const char* h = fy_tag_token_handle(t, &hlen);
  const char* s = fy_tag_token_suffix(t, &slen);
  std::string handle = h ? std::string(h, hlen) : std::string();
  std::string suffix = s ? std::string(s, slen) : std::string();
  info.written = handle.empty() ? "!<" + suffix + ">" : handle + suffix;
  if (handle == "!" && suffix.empty()) {
    info.cls = TagClass::NonSpecific;
    return info;
  }
  // Judge by the resolved tag, so `%TAG !e! tag:yaml.org,2002:` + `!e!int`
  // and the verbatim form behave like `!!int`.
  const std::string resolved = token_text(t);
  static constexpr std::string_view kPrefix = "tag:yaml.org,2002:";
  if (resolved.size() > kPrefix.size() && resolved.compare(0, kPrefix.size(), kPrefix) == 0) {
    std::string name = resolved.substr(kPrefix.size());
    if (name == "str" || name == "int" || name == "float" || name == "bool" ||
        name == "null" || name == "seq" || name == "map") {
      info.cls = TagClass::Standard;
      info.standard = std::move(name);
      return info;
    }
  }
  info.cls = TagClass::Custom;
  return info;
}

// Until materialised, the document is a DAG: an alias is a reference to an
// earlier draft. That keeps aliases free until the very end, where the budget
// has already been checked, so a hostile document costs only its own size.
struct Draft {
  Node node;                    // kind, mark, scalar fields and tag; no children
  std::vector<uint32_t> kids;   // Mapping: key, value, key, value...
  uint32_t alias_of = kNone;
  uint64_t size = 1;            // nodes it expands to
  uint32_t height = 0;          // nested collection levels it expands to
  bool complete = false;
  bool referenced = false;      // an alias points here: never move out of it
};

struct Frame {
  uint32_t collection;  // the Sequence/Mapping draft
  uint32_t outer;       // its Tagged wrapper, or the collection itself
  std::unordered_map<std::string, Mark> keys;  // canonical key -> first mark
};

class Builder {
 public:
  Builder(std::string_view text, const Limits& limits) : text_(text), limits_(limits) {}

  Node run() {
    std::string swallowed;
    fy_diag_cfg dcfg;
    fy_diag_cfg_default(&dcfg);
    dcfg.fp = nullptr;
    dcfg.output_fn = swallow_output;
    dcfg.user = &swallowed;
    dcfg.colorize = false;
    std::unique_ptr<fy_diag, DiagDeleter> diag(fy_diag_create(&dcfg));
    if (!diag) throw ParseError("cannot set up the YAML parser " + at({1, 1}), {1, 1});
    fy_diag_set_collect_errors(diag.get(), true);

    fy_parse_cfg pcfg{};
    // The library's own depth guard stays on as a backstop; Limits::max_depth
    // is enforced here on every start event and alias, before any building.
    pcfg.flags = static_cast<fy_parse_cfg_flags>(FYPCF_QUIET | FYPCF_DEFAULT_VERSION_1_2 |
                                                 FYPCF_JSON_NONE);
    pcfg.diag = diag.get();
    std::unique_ptr<fy_parser, ParserDeleter> parser(fy_parser_create(&pcfg));
    if (!parser) throw ParseError("cannot set up the YAML parser " + at({1, 1}), {1, 1});
    if (fy_parser_set_string(parser.get(), text_.data(), text_.size()) != 0) {
      throw ParseError("cannot read the YAML text " + at({1, 1}), {1, 1});
    }
    parser_ = parser.get();
    diag_ = diag.get();

    int documents = 0;
    for (;;) {
      EventPtr ev(parser_, fy_parser_parse(parser_));
      if (!ev) {
        if (fy_parser_get_stream_error(parser_)) throw syntax_error();
        break;
      }
      fy_event* e = ev.get();
      switch (e->type) {
        case FYET_DOCUMENT_START:
          if (++documents > 1) throw second_document(e);
          break;
        case FYET_SCALAR:
          on_scalar(e);
          break;
        case FYET_ALIAS:
          on_alias(e);
          break;
        case FYET_SEQUENCE_START:
        case FYET_MAPPING_START:
          on_collection_start(e);
          break;
        case FYET_SEQUENCE_END:
        case FYET_MAPPING_END:
          on_collection_end();
          break;
        default:
          break;
      }
      if (const fy_mark* m = fy_event_end_mark(e)) {
        last_end_ = Cursor{m->input_pos, static_cast<uint32_t>(m->line + 1),
                           static_cast<uint32_t>(m->column + 1)};
        // A quoted scalar ends before its closing quote; step over it so the
        // next node's start can be found from here.
        if (e->type == FYET_SCALAR && last_end_.pos < text_.size()) {
          const int style = static_cast<int>(fy_token_scalar_style(fy_event_get_token(e)));
          const char quote = style == FYSS_SINGLE_QUOTED ? '\''
                             : style == FYSS_DOUBLE_QUOTED ? '"'
                                                           : '\0';
          if (quote && text_[last_end_.pos] == quote) {
            ++last_end_.pos;
            ++last_end_.column;
          }
        }
      }
      if (e->type == FYET_STREAM_END) break;
    }
    if (root_ == kNone) {
      Node empty;
      empty.mark = Mark{1, 1};
      return empty;
    }
    return build(root_, false);
  }

 private:
  struct Cursor {
    size_t pos = 0;
    uint32_t line = 1;
    uint32_t column = 1;
  };

  ParseError syntax_error() const {
    void* iter = nullptr;
    fy_diag_error* first = nullptr;
    while (fy_diag_error* de = fy_diag_errors_iterate(diag_, &iter)) {
      if (de->type >= FYET_ERROR) {
        first = de;
        break;
      }
    }
    if (first) {
      Mark m{static_cast<uint32_t>(std::max(first->line, 1)),
             static_cast<uint32_t>(std::max(first->column, 1))};
      std::string msg = first->msg ? first->msg : "invalid YAML";
      return ParseError("YAML syntax error: " + msg + " " + at(m), m);
    }
    Mark m{last_end_.line, last_end_.column};
    return ParseError("YAML syntax error " + at(m), m);
  }

  ParseError second_document(fy_event* e) {
    Mark m{last_end_.line, last_end_.column};
    if (const fy_mark* sm = fy_event_start_mark(e)) {
      m = to_mark(*sm);
    } else {
      // An implicit start after `...` has no token; the document begins
      // where its first content does.
      EventPtr next(parser_, fy_parser_parse(parser_));
      if (next) {
        if (const fy_mark* nm = fy_event_start_mark(next.get())) m = to_mark(*nm);
      }
    }
    return ParseError("more than one YAML document in the text: another one starts " + at(m), m);
  }

  // Where the node begins: its first property, else its content token.
  // libfyaml places a quoted simple key one column into its content and a
  // block scalar at the line after its header, so those two are re-found by
  // walking forward from the previous event over the separators YAML allows
  // in between; if anything unexpected shows up, the library's mark stands.
  // Anchor and alias tokens likewise start after their '&' / '*'.
  Mark node_start(fy_event* e, int scalar_style) const {
    fy_token* anchor = fy_event_get_anchor_token(e);
    fy_token* tag = fy_event_get_tag_token(e);
    const fy_mark* am = anchor ? fy_token_start_mark(anchor) : nullptr;
    const fy_mark* tm = tag ? fy_token_start_mark(tag) : nullptr;
    if (am && (!tm || am->input_pos < tm->input_pos)) {
      if (auto amp = scan_to('&', '&', am->input_pos)) return *amp;
      return to_mark(*am);
    }
    if (tm) return to_mark(*tm);
    const fy_mark* m = fy_event_start_mark(e);
    if (!m) return Mark{last_end_.line, last_end_.column};
    if (scalar_style == FYSS_SINGLE_QUOTED || scalar_style == FYSS_DOUBLE_QUOTED ||
        scalar_style == FYSS_LITERAL || scalar_style == FYSS_FOLDED) {
      const char a = scalar_style == FYSS_SINGLE_QUOTED ? '\''
                     : scalar_style == FYSS_DOUBLE_QUOTED ? '"'
                                                          : '|';
      const char b = scalar_style == FYSS_LITERAL || scalar_style == FYSS_FOLDED ? '>' : a;
      if (auto found = scan_to(a, b, m->input_pos)) return *found;
    }
    return to_mark(*m);
  }

  std::optional<Mark> scan_to(char a, char b, size_t limit) const {
    Cursor c = last_end_;
    while (c.pos <= limit && c.pos < text_.size()) {
      const char ch = text_[c.pos];
      if (ch == a || ch == b) return Mark{c.line, c.column};
      if (ch == ' ' || ch == '\t' || ch == '-' || ch == '?' || ch == ':' || ch == ',') {
        ++c.pos;
        ++c.column;
      } else if (ch == '\n' || ch == '\r') {
        c.pos += (ch == '\r' && c.pos + 1 < text_.size() && text_[c.pos + 1] == '\n') ? 2 : 1;
        ++c.line;
        c.column = 1;
      } else if (ch == '#') {
        while (c.pos < text_.size() && text_[c.pos] != '\n' && text_[c.pos] != '\r') {
          if ((static_cast<unsigned char>(text_[c.pos]) & 0xC0) != 0x80) ++c.column;
          ++c.pos;
        }
      } else {
        return std::nullopt;
      }
    }
    return std::nullopt;
  }

  void charge(uint64_t nodes, Mark m, const std::string& alias) {
    count_ += nodes;
    if (count_ <= limits_.max_nodes) return;
    if (!alias.empty()) {
      throw ParseError("alias expansion exceeds the node budget of " +
                           std::to_string(limits_.max_nodes) + " nodes: alias '*" + alias +
                           "' " + at(m),
                       m);
    }
    throw ParseError("document exceeds the node budget of " +
                         std::to_string(limits_.max_nodes) + " nodes " + at(m),
                     m);
  }

  uint32_t add(Draft d) {
    if (drafts_.size() >= kNone - 1) {
      throw ParseError("document is too large " + at(d.node.mark), d.node.mark);
    }
    drafts_.push_back(std::move(d));
    return static_cast<uint32_t>(drafts_.size() - 1);
  }

  // Wraps `inner` in a Tagged draft when the tag is one we keep.
  uint32_t wrap(uint32_t inner, const TagInfo& tag, Mark m) {
    if (tag.cls != TagClass::Custom) return inner;
    Draft w;
    w.node.kind = Kind::Tagged;
    w.node.mark = m;
    w.node.tag = tag.written;
    w.kids.push_back(inner);
    return add(std::move(w));
  }

  void register_anchor(fy_event* e, uint32_t idx) {
    if (fy_token* a = fy_event_get_anchor_token(e)) anchors_[token_text(a)] = idx;
  }

  void on_scalar(fy_event* e) {
    fy_token* value = fy_event_get_token(e);
    const int style = value ? static_cast<int>(fy_token_scalar_style(value)) : FYSS_PLAIN;
    const Mark m = node_start(e, style);
    const TagInfo tag = classify_tag(fy_event_get_tag_token(e));
    charge(tag.cls == TagClass::Custom ? 2 : 1, m, {});

    Draft d;
    d.node.mark = m;
    d.node.text = value ? token_text(value) : std::string();
    if (tag.cls == TagClass::Standard) {
      apply_standard_scalar_tag(d.node, tag);
    } else if (tag.cls == TagClass::NonSpecific || style != FYSS_PLAIN) {
      d.node.kind = Kind::String;
    } else {
      resolve_plain(d.node);
    }
    d.complete = true;
    const uint32_t inner = add(std::move(d));
    const uint32_t idx = wrap(inner, tag, m);
    if (idx != inner) {
      drafts_[idx].size = 2;
      drafts_[idx].complete = true;
    }
    register_anchor(e, idx);
    attach(idx);
  }

  void apply_standard_scalar_tag(Node& n, const TagInfo& tag) {
    const std::string& s = n.text;
    auto mismatch = [&](const std::string& why) {
      return ParseError("value '" + escape_controls(s) + "' " + why + " tag " + tag.written + " " + at(n.mark),
                        n.mark);
    };
    if (tag.standard == "str") {
      n.kind = Kind::String;
    } else if (tag.standard == "null") {
      if (!is_null_text(s)) throw mismatch("does not fit");
      n.kind = Kind::Null;
    } else if (tag.standard == "bool") {
      if (!bool_text(s, n.boolean)) throw mismatch("does not fit");
      n.kind = Kind::Bool;
    } else if (tag.standard == "int") {
      IntValue iv;
      switch (int_text(s, iv)) {
        case IntMatch::Fits: set_int(n, iv); break;
        case IntMatch::TooLarge: throw mismatch("is out of range for");
        case IntMatch::None: throw mismatch("does not fit");
      }
    } else if (tag.standard == "float") {
      if (!float_text(s, n.real)) throw mismatch("does not fit");
      n.kind = Kind::Float;
    } else {
      throw ParseError("tag " + tag.written + " does not apply to a scalar " + at(n.mark),
                       n.mark);
    }
  }

  void on_alias(fy_event* e) {
    fy_token* t = fy_event_get_token(e);
    const std::string name = t ? token_text(t) : std::string();
    // The alias token's mark sits after the '*'.
    const fy_mark* sm = fy_event_start_mark(e);
    Mark m = sm ? to_mark(*sm) : Mark{last_end_.line, last_end_.column};
    if (sm) {
      if (auto star = scan_to('*', '*', sm->input_pos)) m = *star;
    }
    auto it = anchors_.find(name);
    if (it == anchors_.end()) {
      throw ParseError("unknown alias '*" + name + "' " + at(m), m);
    }
    const uint32_t target = it->second;
    if (!drafts_[target].complete) {
      throw ParseError("alias '*" + name + "' refers to a node that contains it " + at(m), m);
    }
    if (stack_.size() + drafts_[target].height > limits_.max_depth) {
      throw ParseError("nesting exceeds the depth limit of " +
                           std::to_string(limits_.max_depth) + " levels: alias '*" + name +
                           "' " + at(m),
                       m);
    }
    charge(drafts_[target].size, m, name);
    drafts_[target].referenced = true;
    Draft d;
    d.node.mark = m;
    d.alias_of = target;
    d.size = drafts_[target].size;
    d.height = drafts_[target].height;
    d.complete = true;
    attach(add(std::move(d)));
  }

  void on_collection_start(fy_event* e) {
    const bool is_map = e->type == FYET_MAPPING_START;
    const Mark m = node_start(e, -1);
    if (stack_.size() + 1 > limits_.max_depth) {
      throw ParseError("nesting exceeds the depth limit of " +
                           std::to_string(limits_.max_depth) + " levels " + at(m),
                       m);
    }
    const TagInfo tag = classify_tag(fy_event_get_tag_token(e));
    if (tag.cls == TagClass::Standard && tag.standard != (is_map ? "map" : "seq")) {
      throw ParseError("tag " + tag.written + " does not apply to a " +
                           (is_map ? "mapping " : "sequence ") + at(m),
                       m);
    }
    charge(tag.cls == TagClass::Custom ? 2 : 1, m, {});
    Draft d;
    d.node.kind = is_map ? Kind::Mapping : Kind::Sequence;
    d.node.mark = m;
    const uint32_t inner = add(std::move(d));
    const uint32_t outer = wrap(inner, tag, m);
    register_anchor(e, outer);
    stack_.push_back(Frame{inner, outer, {}});
  }

  void on_collection_end() {
    if (stack_.empty()) return;
    Frame f = std::move(stack_.back());
    stack_.pop_back();
    Draft& c = drafts_[f.collection];
    uint64_t size = 1;
    uint32_t height = 0;
    for (uint32_t k : c.kids) {
      size += drafts_[k].size;
      height = std::max(height, drafts_[k].height);
    }
    c.size = size;
    c.height = height + 1;
    c.complete = true;
    if (f.outer != f.collection) {
      Draft& w = drafts_[f.outer];
      w.size = size + 1;
      w.height = height + 1;
      w.complete = true;
    }
    attach(f.outer);
  }

  void attach(uint32_t idx) {
    if (stack_.empty()) {
      root_ = idx;
      return;
    }
    Frame& parent = stack_.back();
    Draft& p = drafts_[parent.collection];
    p.kids.push_back(idx);
    if (p.node.kind == Kind::Mapping && p.kids.size() % 2 == 1) {
      std::string key;
      canonical(idx, key);
      auto [it, inserted] = parent.keys.emplace(std::move(key), drafts_[idx].node.mark);
      if (!inserted) {
        const Mark m = drafts_[idx].node.mark;
        throw ParseError("repeated key " + key_label(idx) + " " + at(m) + " (first " +
                             at(it->second) + ")",
                         m);
      }
    }
  }

  const Draft& resolved(uint32_t idx) const {
    const Draft* d = &drafts_[idx];
    while (d->alias_of != kNone) d = &drafts_[d->alias_of];
    return *d;
  }

  // An injective encoding of a key's value, so that keys equal in kind and
  // value collide whatever their quoting or spelling (`1` and `0x1`, `a` and
  // "a"). Recursion is bounded by the depth limit already enforced.
  void canonical(uint32_t idx, std::string& out) const {
    const Draft& d = resolved(idx);
    const Node& n = d.node;
    switch (n.kind) {
      case Kind::Null: out += 'N'; return;
      case Kind::Bool: out += n.boolean ? "B1" : "B0"; return;
      case Kind::Int: out += 'I' + int_to_string(n) + ';'; return;
      case Kind::Float: {
        double v = n.real == 0.0 ? 0.0 : n.real;
        out += 'F' + (std::isnan(v) ? std::string("nan") : float_to_string(v)) + ';';
        return;
      }
      case Kind::String:
        out += 'S' + std::to_string(n.text.size()) + ':' + n.text;
        return;
      case Kind::Tagged:
        out += 'T' + std::to_string(n.tag.size()) + ':' + n.tag;
        canonical(d.kids.front(), out);
        return;
      case Kind::Sequence:
      case Kind::Mapping:
        out += n.kind == Kind::Sequence ? 'Q' : 'M';
        out += std::to_string(d.kids.size()) + '[';
        for (uint32_t k : d.kids) canonical(k, out);
        out += ']';
        return;
    }
  }

  std::string key_label(uint32_t idx) {
    const Draft* d = &resolved(idx);
    while (d->node.kind == Kind::Tagged) d = &resolved(d->kids.front());
    if (d->node.kind == Kind::Sequence || d->node.kind == Kind::Mapping) {
      std::string s = build(idx, true).debug();
      constexpr size_t kMax = 160;
      if (s.size() > kMax) {
        size_t cut = kMax;
        while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) --cut;
        s.resize(cut);
        s += "...";
      }
      return s;
    }
    return "'" + escape_controls(d->node.text) + "'";
  }

  // Turns a draft into the final tree. Drafts reachable through an alias are
  // copied; everything else is moved out, as it is used exactly once.
  Node build(uint32_t idx, bool copy) {
    Draft& d = drafts_[idx];
    if (d.alias_of != kNone) {
      Node n = build(d.alias_of, true);
      n.mark = d.node.mark;
      return n;
    }
    copy = copy || d.referenced;
    Node n = copy ? d.node : std::move(d.node);
    switch (n.kind) {
      case Kind::Sequence:
      case Kind::Tagged:
        n.items.reserve(d.kids.size());
        for (uint32_t k : d.kids) n.items.push_back(build(k, copy));
        break;
      case Kind::Mapping:
        n.entries.reserve(d.kids.size() / 2);
        for (size_t i = 0; i + 1 < d.kids.size(); i += 2) {
          Node key = build(d.kids[i], copy);
          Node value = build(d.kids[i + 1], copy);
          n.entries.emplace_back(std::move(key), std::move(value));
        }
        break;
      default:
        break;
    }
    return n;
  }

  std::string_view text_;
  Limits limits_;
  fy_parser* parser_ = nullptr;
  fy_diag* diag_ = nullptr;
  std::vector<Draft> drafts_;
  std::vector<Frame> stack_;
  std::unordered_map<std::string, uint32_t> anchors_;
  uint64_t count_ = 0;
  uint32_t root_ = kNone;
  Cursor last_end_;
};

}  // namespace

Node parse(std::string_view text, const Limits& limits) {
  Builder builder(text, limits);
  return builder.run();
}

}  // namespace norva::yaml
