// Holds the JSON layer against an independent, well-kept parser (simdjson):
// for any bytes, both must agree on whether they are one valid JSON object,
// and for one that is, the canonical encoding must be what an encoder of
// simdjson's reading makes of it. Aborts on any difference.
//
// Where the two are meant to differ, the input is passed over: a number
// simdjson cannot hold (it converts numbers, the helper keeps them as written),
// a key twice in one object or nesting deeper than 512 (the helper refuses
// both, simdjson neither).

#include <simdjson.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "base/sync_failure.h"
#include "json/json.h"

namespace {

using namespace simdjson;

constexpr std::size_t maximumDepth = 512;

struct Inconclusive {};

// A string as the canonical encoding writes it: as JSON.stringify does.
void appendString(std::string& out, std::string_view text) {
  out += '"';
  for (const char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escape[7];
          std::snprintf(escape, sizeof escape, "\\u%04x", c);
          out += escape;
        } else {
          out += c;
        }
    }
  }
  out += '"';
}

std::string canonical(ondemand::value value, std::size_t depth);

std::string canonicalObject(ondemand::object object, std::size_t depth) {
  std::vector<std::pair<std::string, std::string>> members;
  std::set<std::string> keys;
  for (auto field : object) {
    std::string_view key;
    if (field.unescaped_key().get(key) != SUCCESS) throw Inconclusive{};
    if (!keys.emplace(key).second) throw Inconclusive{};
    members.emplace_back(std::string(key), canonical(field.value(), depth + 1));
  }
  // By the UTF-8 bytes of the keys, which std::string compares as unsigned.
  std::sort(members.begin(), members.end());
  std::string out = "{";
  for (std::size_t i = 0; i < members.size(); ++i) {
    if (i != 0) out += ',';
    appendString(out, members[i].first);
    out += ':';
    out += members[i].second;
  }
  return out + "}";
}

std::string canonical(ondemand::value value, std::size_t depth) {
  if (depth > maximumDepth) throw Inconclusive{};
  ondemand::json_type type;
  if (value.type().get(type) != SUCCESS) throw Inconclusive{};
  switch (type) {
    case ondemand::json_type::object: {
      ondemand::object object;
      if (value.get_object().get(object) != SUCCESS) throw Inconclusive{};
      return canonicalObject(object, depth);
    }
    case ondemand::json_type::array: {
      ondemand::array array;
      if (value.get_array().get(array) != SUCCESS) throw Inconclusive{};
      std::string out = "[";
      bool first = true;
      for (auto element : array) {
        ondemand::value item;
        if (element.get(item) != SUCCESS) throw Inconclusive{};
        if (!first) out += ',';
        first = false;
        out += canonical(item, depth + 1);
      }
      return out + "]";
    }
    case ondemand::json_type::string: {
      std::string_view text;
      if (value.get_string().get(text) != SUCCESS) throw Inconclusive{};
      std::string out;
      appendString(out, text);
      return out;
    }
    case ondemand::json_type::number: {
      std::string_view raw = value.raw_json_token();
      while (!raw.empty() && (raw.back() == ' ' || raw.back() == '\n' || raw.back() == '\r' ||
                              raw.back() == '\t')) {
        raw.remove_suffix(1);
      }
      return std::string(raw);
    }
    case ondemand::json_type::boolean: {
      bool truth;
      if (value.get_bool().get(truth) != SUCCESS) throw Inconclusive{};
      return truth ? "true" : "false";
    }
    case ondemand::json_type::null:
      return "null";
  }
  throw Inconclusive{};
}

// simdjson's verdict: the canonical encoding of the one object the bytes
// hold, or nullopt when they are not one valid JSON object.
std::optional<std::string> independent(const std::string& bytes) {
  dom::parser full;
  dom::element root;
  const error_code error = full.parse(bytes).get(root);
  if (error == NUMBER_ERROR || error == NUMBER_OUT_OF_RANGE || error == DEPTH_ERROR) {
    throw Inconclusive{};
  }
  if (error != SUCCESS) return std::nullopt;
  if (root.type() != dom::element_type::OBJECT) return std::nullopt;
  // The full parse has validated everything; the encoding reads the numbers
  // as written, which only the on-demand reader gives.
  ondemand::parser reader;
  const padded_string padded(bytes);
  ondemand::document document;
  ondemand::object object;
  if (reader.iterate(padded).get(document) != SUCCESS ||
      document.get_object().get(object) != SUCCESS) {
    throw Inconclusive{};
  }
  return canonicalObject(object, 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  std::optional<std::string> theirs;
  try {
    theirs = independent(bytes);
  } catch (const Inconclusive&) {
    return 0;
  }
  std::optional<std::string> ours;
  try {
    ours = brindell::canonicalJson(brindell::parseObject(bytes).view());
  } catch (const brindell::SyncFailure& failure) {
    if (failure.code != brindell::Code::invalidFile) std::abort();
  }
  if (ours != theirs) {
    std::fprintf(stderr, "verdicts or encodings differ:\n  ours:     %s\n  simdjson: %s\n",
                 ours ? ours->c_str() : "(refused)", theirs ? theirs->c_str() : "(refused)");
    std::abort();
  }
  return 0;
}
