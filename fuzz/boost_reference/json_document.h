#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brindell::reference {

enum class JsonKind : std::uint8_t { null, boolean, number, string, array, object };

class JsonDocument;

// A read-only reference to one value of a parsed document. Cheap to copy;
// valid as long as its document lives.
//
// Object members are kept sorted by the UTF-8 bytes of their keys (a parsed
// object never has two members with the same key), so member i of an object is
// also its i-th member in canonical order.
class JsonView {
 public:
  JsonView(const JsonDocument* document, std::uint32_t node) : document_(document), node_(node) {}

  JsonKind kind() const;
  bool isObject() const { return kind() == JsonKind::object; }
  bool isString() const { return kind() == JsonKind::string; }

  // A boolean's value; false for every other kind.
  bool boolean() const;
  // A string's decoded UTF-8 text, or a number's literal text exactly as it
  // stood in the input ("1.0", "1E400", "-0"). Empty for other kinds.
  std::string_view text() const;
  // The number of elements of an array or members of an object; 0 otherwise.
  std::size_t size() const;

  // Element i of an array (i < size()).
  JsonView element(std::size_t i) const;
  // Key and value of member i of an object (i < size()), in key order.
  std::string_view key(std::size_t i) const;
  JsonView value(std::size_t i) const;
  // The member of an object with exactly this key; nullopt when there is none
  // or when this is not an object.
  std::optional<JsonView> find(std::string_view key) const;

  const JsonDocument* document() const { return document_; }
  std::uint32_t node() const { return node_; }

 private:
  const JsonDocument* document_;
  std::uint32_t node_;
};

// A parsed JSON text, held compactly: every value is one 8-byte node. The
// document keeps the input bytes exactly as they arrived, so a canonical input
// can be passed on as it stands; strings and numbers without escapes are
// referenced where they stand, and only strings with escapes are decoded, into
// a buffer of their own. Immutable once built; destroying it never recurses,
// whatever the nesting.
class JsonDocument {
 public:
  // Eight bytes, so that the nodes of a document stay well below the size
  // of its text.
  class Node {
   public:
    Node(JsonKind kind, bool verbatim, std::uint32_t length, std::uint64_t offset)
        : offset_(static_cast<std::uint32_t>(offset)),
          bits_(static_cast<std::uint32_t>(kind) | (verbatim ? verbatimBit : 0u) |
                (length << lengthShift)) {}

    JsonKind kind() const { return static_cast<JsonKind>(bits_ & kindMask); }
    // Strings: the text stood in the input without escapes, so it holds no
    // quote, backslash or control character and is written out as it is.
    // Otherwise its decoded text is in `decoded` and needs escaping on output.
    // Numbers are always verbatim.
    bool verbatim() const { return (bits_ & verbatimBit) != 0; }
    // Booleans: the value. Strings and numbers: byte length of the text.
    // Containers: number of elements, or of members (each member is two
    // consecutive nodes: the key, a string, then the value).
    std::uint32_t length() const { return bits_ >> lengthShift; }
    // Strings and numbers: byte offset of the text in `source` (verbatim) or
    // `decoded`. Containers: index of the first child node; children are
    // contiguous.
    std::uint32_t offset() const { return offset_; }

   private:
    static constexpr std::uint32_t kindMask = 0x7;
    static constexpr std::uint32_t verbatimBit = 0x8;
    static constexpr int lengthShift = 4;

    std::uint32_t offset_;
    std::uint32_t bits_;
  };

  // Lengths have 28 bits and offsets 32, far above any text the helper
  // parses (a request or a file of a few MiB); a longer text is refused.
  static constexpr std::size_t maximumSourceBytes = (std::size_t{1} << 28) - 1;

  JsonView root() const { return JsonView(this, rootNode); }

  // The text of a string or number node.
  std::string_view text(const Node& node) const {
    const std::string& from = node.verbatim() ? source : decoded;
    return std::string_view(from.data() + node.offset(), node.length());
  }

  // The input, unchanged.
  std::string source;
  // The decoded text of the strings that had escapes, one after another.
  std::string decoded;
  std::vector<Node> nodes;
  std::uint32_t rootNode = 0;
  // The input was byte for byte its own canonical encoding.
  bool canonical = false;
};

// A parsed request, manifest or history file: the document's root object,
// owning the document. Copies share it.
struct JsonObject {
  std::shared_ptr<const JsonDocument> document;

  JsonView view() const { return document->root(); }
  std::optional<JsonView> find(std::string_view key) const { return view().find(key); }
};

}  // namespace brindell::reference
