// Parsing reads the input without ever writing to it: a canonical input is
// later sent out as it stands, so it must stay exactly what was read. UTF-8 is
// validated for the whole text first, vectorised; the grammar is then checked
// in one pass that skips the plain text of strings sixteen bytes at a time.
//
// A text that is its own canonical encoding, as every file this helper
// writes is, is recognised by a pass that builds nothing, so reading a stored
// file costs no memory beyond its bytes. Any other text is parsed into nodes.
// Both passes are one walk over the grammar, told what to do with each token.
// A text that only looks canonical for a while costs that part of the pass
// twice; requests, whose members come in the client's order, give up within
// their first few bytes.

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "base/sync_failure.h"
#include "json/json.h"
#include "json/json_text.h"

namespace brindell {

namespace {

using Node = JsonDocument::Node;
using Escapes = JsonDocument::Escapes;

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
  if (p == end || !isDigit(*p)) return nullptr;
  p = *p == '0' ? p + 1 : skipDigits(p, end);
  if (p != end && *p == '.') {
    if (++p == end || !isDigit(*p)) return nullptr;
    p = skipDigits(p, end);
  }
  if (p != end && (*p == 'e' || *p == 'E')) {
    if (++p != end && (*p == '+' || *p == '-')) ++p;
    if (p == end || !isDigit(*p)) return nullptr;
    p = skipDigits(p, end);
  }
  return p;
}

// The end of `word` (true, false or null) at `p`, or nullptr when it does
// not stand there.
const char* literalEnd(const char* p, const char* end, std::string_view word) {
  return std::string_view(p, static_cast<std::size_t>(end - p)).starts_with(word) ? p + word.size()
                                                                                  : nullptr;
}

// The string whose opening quote is at `p`, as a node, and what follows its
// closing quote: nullptr when its text has a control character, an escape
// that is not one (or, with `canonicalOnly`, one that is not canonical), or no
// end. Both come back in registers: a node written through a reference and
// read back at once stalls the read.
template <bool canonicalOnly>
std::pair<Node, const char*> takeString(const char* begin, const char* p, const char* end) {
  const std::pair<Node, const char*> invalid{Node{}, nullptr};
  const char* const text = p + 1;
  Escapes escapes = Escapes::none;
  for (p = text;;) {
    p = stringSpecialAt(p, end);
    if (p == end) return invalid;
    if (*p == '"') break;
    if (*p != '\\') return invalid;  // a control character
    const std::size_t length = escapeAt(p, end).length;
    if (length == 0) return invalid;
    const bool canonical = isCanonicalEscape(p, end);
    if (canonicalOnly && !canonical) return invalid;
    if (escapes != Escapes::other) escapes = canonical ? Escapes::canonical : Escapes::other;
    p += length;
  }
  return {Node{JsonKind::string, escapes, static_cast<std::uint32_t>(p - text),
               static_cast<std::uint32_t>(text - begin)},
          p + 1};
}

// Walks a text whose top level must be an object or an array, and reports
// whether it is valid JSON nested within maximumJsonDepth; never recurses.
// The text must be valid UTF-8. `builder` is told of each container as it
// opens and closes and of each key and other value as it comes, as a node,
// and may refuse a key or a closing object; its canonicalOnly also demands
// the text be written as the canonical encoding writes it: no whitespace and
// only the escapes it uses.
template <typename Builder>
bool walk(std::string_view text, Builder& builder) {
  constexpr bool strict = Builder::canonicalOnly;
  const char* const begin = text.data();
  const char* const end = begin + text.size();
  auto skip = [end](const char* p) { return strict ? p : skipWhitespace(p, end); };
  bool objects[maximumJsonDepth + 1];  // whether each open container is an object
  std::size_t depth = 0;
  Node node{};
  const char* p = skip(begin);
  if (p == end || (*p != '{' && *p != '[')) return false;

value:
  switch (*p) {
    case '{':
    case '[':
      if (depth == maximumJsonDepth) return false;
      objects[++depth] = *p == '{';
      builder.open(depth);
      p = skip(p + 1);
      if (p == end) return false;
      if (*p == (objects[depth] ? '}' : ']')) goto close;
      if (objects[depth]) goto key;
      goto value;
    case '"':
      std::tie(node, p) = takeString<strict>(begin, p, end);
      break;
    case 't':
    case 'f':
      node = Node{JsonKind::boolean, Escapes::none, *p == 't', 0};
      p = literalEnd(p, end, *p == 't' ? "true" : "false");
      break;
    case 'n':
      node = Node{};
      p = literalEnd(p, end, "null");
      break;
    default: {
      const char* number = p;
      if ((p = numberEnd(p, end)) == nullptr) return false;
      node = Node{JsonKind::number, Escapes::none, static_cast<std::uint32_t>(p - number),
                  static_cast<std::uint32_t>(number - begin)};
    }
  }
  if (p == nullptr) return false;
  builder.value(node);
  goto after;

key:
  if (*p != '"') return false;
  std::tie(node, p) = takeString<strict>(begin, p, end);
  if (p == nullptr || !builder.key(depth, node)) return false;
  p = skip(p);
  if (p == end || *p != ':') return false;
  p = skip(p + 1);
  if (p == end) return false;
  goto value;

after:
  p = skip(p);
  if (depth == 0) return p == end;
  if (p == end) return false;
  if (*p == ',') {
    p = skip(p + 1);
    if (p == end) return false;
    if (objects[depth]) goto key;
    goto value;
  }
  if (*p != (objects[depth] ? '}' : ']')) return false;
close:
  if (!builder.close(objects[depth--])) return false;
  ++p;
  goto after;
}

// For a walk that recognises a text that is its own canonical encoding: the
// keys of every object must also be strictly ascending (so none twice). No
// nodes are built; a key with escapes, rare in keys, leaves its decoded text
// with the document, whose views would decode it anyway.
class KeyOrder {
 public:
  static constexpr bool canonicalOnly = true;

  explicit KeyOrder(const JsonDocument& document) : document_(document) {}

  void open(std::size_t depth) { lastKeys_[depth] = {}; }
  bool close(bool) { return true; }
  void value(const Node&) {}
  // Keys order by their decoded bytes; escapes are rare in keys, so only then
  // is anything decoded. The first key has nothing to follow (an empty key
  // still has data).
  bool key(std::size_t depth, const Node& key) {
    const std::string_view text = document_.text(key);
    std::string_view& last = lastKeys_[depth];
    if (last.data() != nullptr && compareBytes(last, text) >= 0) return false;
    last = text;
    return true;
  }

 private:
  const JsonDocument& document_;
  std::string_view lastKeys_[maximumJsonDepth + 1];  // of each open object, decoded
};

// For a walk that parses a text into nodes, the root first. Completed values
// wait on `pending_` until their container closes; its children then move
// to the node array as one contiguous run, so a container never needs to
// know its size up front.
class NodeBuilder {
 public:
  static constexpr bool canonicalOnly = false;

  explicit NodeBuilder(const JsonDocument& document) : document_(document) {
    // At most one node per two bytes of text ("1," in an array), so this
    // never grows, and the pages beyond what is written are never touched.
    nodes_.reserve(document.source().size() / 2 + 1);
    nodes_.push_back(Node{});  // the root's place
  }

  void open(std::size_t) { frames_.push_back(pending_.size()); }
  bool close(bool object);
  void value(const Node& node) { pending_.push_back(node); }
  bool key(std::size_t, const Node& key) {
    pending_.push_back(key);
    return true;
  }

  // The nodes, once a walk has accepted the whole text.
  std::vector<Node> nodes() {
    nodes_[JsonDocument::rootNode] = pending_.back();
    return std::move(nodes_);
  }

 private:
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

  bool sortMembers(Node* first, std::size_t count);

  const JsonDocument& document_;
  std::vector<Node> nodes_;
  std::vector<Node> pending_;
  std::vector<std::size_t> frames_;  // where each open container's children start on pending_
  std::vector<Member> members_;
  std::vector<Node> moved_;
  Shape shapes_[maximumRememberedMembers + 1];
};

bool NodeBuilder::close(bool object) {
  const std::size_t firstPending = frames_.back();
  frames_.pop_back();
  const std::size_t children = pending_.size() - firstPending;
  Node* first = pending_.data() + firstPending;
  if (object && !sortMembers(first, children / 2)) return false;
  const auto firstChild = static_cast<std::uint32_t>(nodes_.size());
  nodes_.insert(nodes_.end(), first, first + children);
  pending_.erase(pending_.begin() + static_cast<std::ptrdiff_t>(firstPending), pending_.end());
  pending_.push_back(Node{object ? JsonKind::object : JsonKind::array, Escapes::none,
                          static_cast<std::uint32_t>(object ? children / 2 : children),
                          firstChild});
  return true;
}

// Puts `count` members (key and value nodes alternating) in key order and
// reports whether all keys differ. Canonical input is already sorted, so
// that case is checked first and costs one comparison per member.
bool NodeBuilder::sortMembers(Node* first, std::size_t count) {
  if (count < 2) return true;
  Shape* shape = count <= maximumRememberedMembers ? &shapes_[count] : nullptr;
  if (shape != nullptr && shape->count == count) {
    std::size_t same = 0;
    while (same < count && compareBytes(shape->keys[same], document_.text(first[2 * same])) == 0)
      ++same;
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
    const int order =
        compareBytes(document_.text(first[2 * sorted - 2]), document_.text(first[2 * sorted]));
    if (order == 0) return false;
    if (order > 0) break;
  }
  if (sorted == count) return true;

  members_.clear();
  for (std::size_t i = 0; i < count; ++i) {
    members_.push_back(Member{document_.text(first[2 * i]), first[2 * i], first[2 * i + 1], i});
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
  NodeBuilder builder(*this);
  if (!walk(source_, builder)) failInvalid();
  nodes_ = builder.nodes();
}

JsonObject JsonDocument::parse(std::shared_ptr<JsonDocument> document) {
  const std::string_view text = document->source_;
  if (text.size() > JsonDocument::maximumSourceBytes || !isValidUtf8(text)) failInvalid();
  KeyOrder keyOrder(*document);
  document->canonical_ = text.starts_with('{') && walk(text, keyOrder);
  if (!document->canonical_) {
    document->buildNodes();
    if (document->nodes_[JsonDocument::rootNode].kind == JsonKind::array) {
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
