// Parsing reads the input without ever writing to it: a canonical input is
// later sent out as it stands, so it must stay exactly what was read. UTF-8 is
// validated for the whole text first, vectorised; the grammar is then checked
// in one pass that skips the plain text of strings sixteen bytes at a time.
//
// A text that is its own canonical encoding, as every file this helper
// writes is, is recognised by a pass that builds nothing, so reading a stored
// file costs no memory beyond its bytes. Any other text is parsed into nodes.
// A text that only looks canonical for a while costs that part of the pass
// twice; requests, whose members come in the client's order, give up within
// their first few bytes.

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/sync_failure.h"
#include "json/json.h"
#include "json/json_text.h"

namespace brindell {

namespace {

using Node = JsonDocument::Node;
using Escapes = JsonDocument::Escapes;
using DecodedTexts = std::unordered_map<std::uint32_t, std::string>;

[[noreturn]] void failInvalid() {
  throw SyncFailure{Code::invalidFile,
                    "A sync file contains invalid JSON. Preserve it for inspection; local "
                    "workspace data is unchanged."};
}

bool isDigit(char c) {
  return static_cast<unsigned char>(c - '0') < 10;
}

const char* skipWhitespace(const char* p, const char* end) {
  while (p != end && (*p == ' ' || *p == '\n' || *p == '\r' || *p == '\t')) ++p;
  return p;
}

const char* skipDigits(const char* p, const char* end) {
  while (p != end && isDigit(*p)) ++p;
  return p;
}

// The end of the number literal at `p`, or nullptr when none starts there.
// Any literal of the grammar is accepted whatever its size: numbers are kept
// as their text, never converted. What follows is for the caller to judge.
const char* numberEnd(const char* p, const char* end) {
  if (p != end && *p == '-') ++p;
  if (p == end) return nullptr;
  if (*p == '0') {
    ++p;
  } else if (*p >= '1' && *p <= '9') {
    p = skipDigits(p + 1, end);
  } else {
    return nullptr;
  }
  if (p != end && *p == '.') {
    if (++p == end || !isDigit(*p)) return nullptr;
    p = skipDigits(p + 1, end);
  }
  if (p != end && (*p == 'e' || *p == 'E')) {
    if (++p != end && (*p == '+' || *p == '-')) ++p;
    if (p == end || !isDigit(*p)) return nullptr;
    p = skipDigits(p + 1, end);
  }
  return p;
}

// The end of `word` (true, false or null) at `p`, or nullptr when it does
// not stand there.
const char* literalEnd(const char* p, const char* end, std::string_view word) {
  if (static_cast<std::size_t>(end - p) < word.size()) return nullptr;
  std::uint32_t have;
  std::uint32_t want;
  // The first four bytes as one word, then the fifth of "false".
  std::memcpy(&have, p, 4);
  std::memcpy(&want, word.data(), 4);
  if (have != want || (word.size() == 5 && p[4] != word[4])) return nullptr;
  return p + word.size();
}

// The two-byte escapes, by the letter after the backslash: those the
// canonical encoding writes, and \/, which it writes as "/".
enum class ShortEscape : std::uint8_t { none, canonical, other };

constexpr std::array<ShortEscape, 256> buildShortEscapes() {
  std::array<ShortEscape, 256> escapes{};
  for (unsigned char c : std::string_view("\"\\bfnrt")) escapes[c] = ShortEscape::canonical;
  escapes['/'] = ShortEscape::other;
  return escapes;
}

constexpr std::array<ShortEscape, 256> shortEscapes = buildShortEscapes();

// The closing quote of the string whose text starts at `p`, just after the
// opening quote; nullptr when the text has a control character, an escape
// that is not one (or, with `canonicalOnly`, one that is not canonical), or
// no end. `escapes` tells what escapes it had.
template <bool canonicalOnly>
const char* stringEnd(const char* p, const char* end, Escapes& escapes) {
  escapes = Escapes::none;
  for (;;) {
    p = stringSpecialAt(p, end);
    if (p == end) return nullptr;
    if (*p == '"') return p;
    // A control character, or a backslash with nothing after it to escape.
    if (*p != '\\' || p + 1 == end) return nullptr;
    std::size_t length;
    bool canonical;
    const ShortEscape escape = shortEscapes[static_cast<unsigned char>(p[1])];
    if (escape != ShortEscape::none) {
      if (canonicalOnly && escape != ShortEscape::canonical) return nullptr;
      length = 2;
      canonical = escape == ShortEscape::canonical;
    } else if (canonicalOnly) {
      if (p[1] != 'u' || !isCanonicalEscape(p, end)) return nullptr;
      length = 6;
      canonical = true;
    } else {
      length = escapeAt(p, end).length;
      if (length == 0) return nullptr;
      canonical = isCanonicalEscape(p, end);
    }
    if (escapes != Escapes::other) escapes = canonical ? Escapes::canonical : Escapes::other;
    p += length;
  }
}

// Keys are ordered by their decoded bytes. Escapes are rare in keys, so only
// then is anything decoded.
int compareKeys(std::string_view a, Escapes aEscapes, std::string_view b, Escapes bEscapes) {
  const bool aEscaped = aEscapes != Escapes::none;
  const bool bEscaped = bEscapes != Escapes::none;
  if (!aEscaped && !bEscaped) return compareBytes(a, b);
  return (aEscaped ? std::string_view(decodedString(a)) : a)
      .compare(bEscaped ? std::string_view(decodedString(b)) : b);
}

// Whether `text` is a JSON object that is byte for byte its own canonical
// encoding: no whitespace, the keys of every object strictly ascending (so
// also no key twice), only the escapes the encoding writes, nesting within
// maximumJsonDepth. The text must be valid UTF-8. False for anything else,
// valid or not.
bool isCanonicalObjectText(std::string_view text) {
  struct Level {
    std::string_view key;  // the object's last key so far; no data before the first
    Escapes keyEscapes;
    bool object;
  };
  Level levels[maximumJsonDepth + 1];
  std::size_t depth = 0;
  const char* p = text.data();
  const char* const end = p + text.size();
  if (p == end || *p != '{') return false;

value:
  if (p == end) return false;
  switch (*p) {
    case '{':
    case '[': {
      if (depth == maximumJsonDepth) return false;
      const bool object = *p == '{';
      levels[++depth] = Level{{}, Escapes::none, object};
      if (++p != end && *p == (object ? '}' : ']')) {
        ++p;
        --depth;
        goto after;
      }
      if (object) goto key;
      goto value;
    }
    case '"': {
      Escapes escapes;
      const char* close = stringEnd<true>(p + 1, end, escapes);
      if (close == nullptr) return false;
      p = close + 1;
      goto after;
    }
    case 't':
      p = literalEnd(p, end, "true");
      break;
    case 'f':
      p = literalEnd(p, end, "false");
      break;
    case 'n':
      p = literalEnd(p, end, "null");
      break;
    default:
      p = numberEnd(p, end);
      break;
  }
  if (p == nullptr) return false;
  goto after;

key : {
  if (p == end || *p != '"') return false;
  Escapes escapes;
  const char* close = stringEnd<true>(p + 1, end, escapes);
  if (close == nullptr) return false;
  const std::string_view key(p + 1, static_cast<std::size_t>(close - p - 1));
  Level& level = levels[depth];
  // The first key has nothing to follow (an empty key still has data).
  if (level.key.data() != nullptr && compareKeys(level.key, level.keyEscapes, key, escapes) >= 0) {
    return false;
  }
  level.key = key;
  level.keyEscapes = escapes;
  p = close + 1;
  if (p == end || *p != ':') return false;
  ++p;
  goto value;
}

after:
  if (depth == 0) return p == end;
  if (p == end) return false;
  if (*p == ',') {
    ++p;
    if (levels[depth].object) goto key;
    goto value;
  }
  if (*p != (levels[depth].object ? '}' : ']')) return false;
  ++p;
  --depth;
  goto after;
}

// Parses a whole text into nodes, the root first; throws the invalid-JSON
// failure for anything but a valid object or array. The text must be valid
// UTF-8. Completed values wait on `pending_` until their container closes;
// its children then move to the node array as one contiguous run, so a
// container never needs to know its size up front.
class NodeParser {
 public:
  NodeParser(std::string_view text, std::vector<Node>& nodes, DecodedTexts& decoded)
      : begin_(text.data()), end_(text.data() + text.size()), nodes_(nodes), decoded_(decoded) {}

  void parse();

 private:
  struct Frame {
    std::size_t firstPending;
    bool object;
  };
  struct Member {
    std::string_view key;  // decoded
    Node keyNode;
    Node value;
    std::size_t index;  // where it came
  };
  // The objects of a history are mostly records of one shape, whose members
  // come in the same order every time. For each small size of object, the
  // keys of the last one that needed sorting, as they came, and where each
  // member went, so that the next with the same keys is put in order without
  // sorting.
  static constexpr std::size_t maximumRememberedMembers = 32;
  struct Shape {
    std::size_t count = 0;
    std::string_view keys[maximumRememberedMembers];
    std::uint8_t from[maximumRememberedMembers];
  };

  std::uint32_t offsetOf(const char* p) const { return static_cast<std::uint32_t>(p - begin_); }

  // Pushes the string whose opening quote is at `p`; returns what follows it.
  const char* takeString(const char* p) {
    Escapes escapes;
    const char* close = stringEnd<false>(p + 1, end_, escapes);
    if (close == nullptr) failInvalid();
    pending_.push_back(Node{JsonKind::string, escapes, static_cast<std::uint32_t>(close - p - 1),
                            offsetOf(p + 1)});
    return close + 1;
  }

  std::string_view keyText(const Node& key) {
    const std::string_view raw(begin_ + key.offset(), key.length());
    if (key.escapes() == Escapes::none) return raw;
    auto [entry, added] = decoded_.try_emplace(key.offset());
    if (added) entry->second = decodedString(raw);
    return entry->second;
  }

  void close();
  bool sortMembers(Node* first, std::size_t count);

  const char* const begin_;
  const char* const end_;
  std::vector<Node>& nodes_;
  DecodedTexts& decoded_;
  std::vector<Node> pending_;
  std::vector<Frame> frames_;
  std::vector<Member> members_;
  std::vector<Node> moved_;
  Shape shapes_[maximumRememberedMembers + 1];
};

void NodeParser::parse() {
  // At most one node per two bytes of text ("1," in an array), so this never
  // grows, and the pages beyond what is written are never touched.
  nodes_.reserve((end_ - begin_) / 2 + 1);
  nodes_.push_back(Node{JsonKind::null, Escapes::none, 0, 0});  // the root's place
  const char* p = skipWhitespace(begin_, end_);
  if (p == end_ || (*p != '{' && *p != '[')) failInvalid();

value:
  switch (*p) {
    case '{':
    case '[': {
      if (frames_.size() == maximumJsonDepth) failInvalid();
      const bool object = *p == '{';
      frames_.push_back(Frame{pending_.size(), object});
      p = skipWhitespace(p + 1, end_);
      if (p == end_) failInvalid();
      if (*p == (object ? '}' : ']')) {
        close();
        ++p;
        goto after;
      }
      if (object) goto key;
      goto value;
    }
    case '"':
      p = takeString(p);
      goto after;
    case 't':
    case 'f': {
      const bool truth = *p == 't';
      p = literalEnd(p, end_, truth ? "true" : "false");
      if (p == nullptr) failInvalid();
      pending_.push_back(
          Node{JsonKind::boolean, Escapes::none, static_cast<std::uint32_t>(truth), 0});
      goto after;
    }
    case 'n':
      p = literalEnd(p, end_, "null");
      if (p == nullptr) failInvalid();
      pending_.push_back(Node{JsonKind::null, Escapes::none, 0, 0});
      goto after;
    default: {
      const char* numberEnds = numberEnd(p, end_);
      if (numberEnds == nullptr) failInvalid();
      pending_.push_back(Node{JsonKind::number, Escapes::none,
                              static_cast<std::uint32_t>(numberEnds - p), offsetOf(p)});
      p = numberEnds;
      goto after;
    }
  }

key:
  if (*p != '"') failInvalid();
  p = skipWhitespace(takeString(p), end_);
  if (p == end_ || *p != ':') failInvalid();
  p = skipWhitespace(p + 1, end_);
  if (p == end_) failInvalid();
  goto value;

after:
  p = skipWhitespace(p, end_);
  if (frames_.empty()) {
    if (p != end_) failInvalid();
    nodes_[JsonDocument::rootNode] = pending_.back();
    return;
  }
  if (p == end_) failInvalid();
  if (*p == ',') {
    p = skipWhitespace(p + 1, end_);
    if (p == end_) failInvalid();
    if (frames_.back().object) goto key;
    goto value;
  }
  if (*p != (frames_.back().object ? '}' : ']')) failInvalid();
  close();
  ++p;
  goto after;
}

void NodeParser::close() {
  const Frame frame = frames_.back();
  frames_.pop_back();
  const std::size_t children = pending_.size() - frame.firstPending;
  Node* first = pending_.data() + frame.firstPending;
  if (frame.object && !sortMembers(first, children / 2)) failInvalid();
  const auto firstChild = static_cast<std::uint32_t>(nodes_.size());
  nodes_.insert(nodes_.end(), first, first + children);
  pending_.erase(pending_.begin() + static_cast<std::ptrdiff_t>(frame.firstPending),
                 pending_.end());
  pending_.push_back(Node{frame.object ? JsonKind::object : JsonKind::array, Escapes::none,
                          static_cast<std::uint32_t>(frame.object ? children / 2 : children),
                          firstChild});
}

// Puts `count` members (key and value nodes alternating) in key order and
// reports whether all keys differ. Canonical input is already sorted, so
// that case is checked first and costs one comparison per member.
bool NodeParser::sortMembers(Node* first, std::size_t count) {
  if (count < 2) return true;
  Shape* shape = count <= maximumRememberedMembers ? &shapes_[count] : nullptr;
  if (shape != nullptr && shape->count == count) {
    std::size_t same = 0;
    while (same < count && compareBytes(shape->keys[same], keyText(first[2 * same])) == 0) ++same;
    if (same == count) {
      // The same keys as last time, which were all different.
      moved_.assign(first, first + 2 * count);
      for (std::size_t i = 0; i < count; ++i) {
        first[2 * i] = moved_[2 * shape->from[i]];
        first[2 * i + 1] = moved_[2 * shape->from[i] + 1];
      }
      return true;
    }
  }

  std::size_t sorted = 1;
  for (; sorted < count; ++sorted) {
    const int order = compareBytes(keyText(first[2 * sorted - 2]), keyText(first[2 * sorted]));
    if (order == 0) return false;
    if (order > 0) break;
  }
  if (sorted == count) return true;

  members_.clear();
  for (std::size_t i = 0; i < count; ++i) {
    members_.push_back(Member{keyText(first[2 * i]), first[2 * i], first[2 * i + 1], i});
  }
  // std::string_view orders by unsigned bytes, as compareBytes does.
  std::sort(members_.begin(), members_.end(),
            [](const Member& a, const Member& b) { return a.key < b.key; });
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0 && members_[i - 1].key == members_[i].key) return false;
    first[2 * i] = members_[i].keyNode;
    first[2 * i + 1] = members_[i].value;
  }
  if (shape != nullptr) {
    shape->count = count;
    for (std::size_t i = 0; i < count; ++i) {
      shape->keys[members_[i].index] = members_[i].key;
      shape->from[i] = static_cast<std::uint8_t>(members_[i].index);
    }
  }
  return true;
}

}  // namespace

void JsonDocument::buildNodes() const {
  std::vector<Node> nodes;
  NodeParser(source_, nodes, decoded_).parse();
  nodes_ = std::move(nodes);
}

JsonObject JsonDocument::parse(std::shared_ptr<JsonDocument> document) {
  const std::string_view text = document->source_;
  if (text.size() > JsonDocument::maximumSourceBytes || !isValidUtf8(text)) failInvalid();
  document->canonical_ = isCanonicalObjectText(text);
  if (!document->canonical_) {
    document->buildNodes();
    if (document->nodes_[JsonDocument::rootNode].kind() == JsonKind::array) {
      throw SyncFailure{Code::invalidFile, "A sync file must contain one JSON object."};
    }
  }
  return JsonObject{std::move(document)};
}

JsonObject parseObject(std::string bytes) {
  return JsonDocument::parse(std::shared_ptr<JsonDocument>(new JsonDocument(std::move(bytes), {})));
}

JsonObject parseObject(ByteBuffer bytes) {
  return JsonDocument::parse(std::shared_ptr<JsonDocument>(new JsonDocument({}, std::move(bytes))));
}

}  // namespace brindell
