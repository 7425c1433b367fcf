#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/byte_buffer.h"

namespace brindell {

enum class JsonKind : std::uint8_t { null, boolean, number, string, array, object };

class JsonDocument;
struct JsonObject;

// A read-only reference to one value of a parsed document. Cheap to copy;
// valid as long as its document lives.
//
// Object members are kept sorted by the UTF-8 bytes of their decoded keys (a
// parsed object never has two members with the same key), so member i of an
// object is also its i-th member in canonical order.
class JsonView {
 public:
  JsonView(const JsonDocument* document, std::uint32_t node) : document_(document), node_(node) {}

  JsonKind kind() const;
  bool isObject() const { return kind() == JsonKind::object; }
  bool isString() const { return kind() == JsonKind::string; }

  // A string's decoded UTF-8 text, or a number's literal text exactly as it
  // stood in the input ("1.0", "1E400", "-0"). Empty for other kinds.
  std::string_view text() const;
  // The number of elements of an array or members of an object; 0 otherwise.
  std::size_t size() const;

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

// A parsed JSON text. It keeps the input bytes exactly as they arrived, so a
// canonical input can be passed on as it stands. Its values are nodes of 8
// bytes that refer to their text in the input; escapes are decoded only when
// a string's text is asked for. A canonical text is validated without nodes,
// which are built when a view first needs them; reading a document is
// therefore not safe from two threads at once. Destroying it never recurses,
// whatever the nesting.
class JsonDocument {
 public:
  // Whether a string's text holds escapes, and whether they are all those
  // the canonical encoding writes, so that the text is written out as it
  // stands. Without escapes it holds no quote, backslash or control
  // character and stands for itself.
  enum class Escapes : std::uint8_t { none, canonical, other };

  struct Node {
    JsonKind kind : 3;
    // Strings only; none for every other kind.
    Escapes escapes : 2;
    // Booleans: the value. Strings and numbers: byte length of the text in
    // the input (between the quotes for strings). Containers: number of
    // elements, or of members (each member is two consecutive nodes: the key,
    // a string, then the value).
    std::uint32_t length : 27;
    // Strings and numbers: byte offset of the text in the input. Containers:
    // index of the first child node; children are contiguous.
    std::uint32_t offset;
  };

  // Lengths have 27 bits and offsets 32, far above any text the helper
  // parses (a request or a file of a few MiB); a longer text is refused.
  static constexpr std::size_t maximumSourceBytes = (std::size_t{1} << 27) - 1;
  // The root value is always the first node.
  static constexpr std::uint32_t rootNode = 0;

  JsonDocument(const JsonDocument&) = delete;
  JsonDocument& operator=(const JsonDocument&) = delete;

  JsonView root() const { return JsonView(this, rootNode); }
  // The input, unchanged.
  std::string_view source() const { return source_; }
  // Whether the input is byte for byte its own canonical encoding, as every
  // file this helper writes is. Found while parsing, without producing the
  // encoding, so that such a text can be passed on as it stands.
  bool canonical() const { return canonical_; }

  // The nodes, built on first use for a canonical text.
  const std::vector<Node>& nodes() const {
    if (nodes_.empty()) buildNodes();
    return nodes_;
  }
  // The text of a string (decoded) or number (literal) node. Inline, since
  // parsing asks for every key's.
  std::string_view text(const Node& node) const {
    const std::string_view raw(source_.data() + node.offset, node.length);
    return node.escapes == Escapes::none ? raw : decodedText(node.offset, raw);
  }

 private:
  friend JsonObject parseObject(std::string bytes);
  friend JsonObject parseObject(ByteBuffer bytes);

  // Only one of the two owns the input; source_ refers to it.
  JsonDocument(std::string text, ByteBuffer buffer)
      : text_(std::move(text)), buffer_(std::move(buffer)) {
    source_ = buffer_.data() != nullptr ? buffer_.view() : std::string_view(text_);
  }
  // Validates the input, and parses it into nodes unless it is canonical;
  // the parseObject overloads differ only in who owns the bytes. Defined
  // with the parser.
  static JsonObject parse(std::shared_ptr<JsonDocument> document);
  // Parses the input into nodes; throws SyncFailure Code::invalidFile when
  // it is not valid JSON. Defined with the parser.
  void buildNodes() const;
  // The decoded text of the escaped string whose raw text starts at
  // `offset`, kept for whoever asks again.
  std::string_view decodedText(std::uint32_t offset, std::string_view raw) const;

  std::string text_;
  ByteBuffer buffer_;
  std::string_view source_;
  bool canonical_ = false;
  mutable std::vector<Node> nodes_;
  // The decoded text of escaped strings asked for so far, by input offset.
  // Map nodes never move, so the views handed out stay valid.
  mutable std::unordered_map<std::uint32_t, std::string> decoded_;
};

// A parsed request, manifest or history file: the document's root object,
// owning the document. Copies share it.
struct JsonObject {
  std::shared_ptr<const JsonDocument> document;

  JsonView view() const { return document->root(); }
  std::optional<JsonView> find(std::string_view key) const { return view().find(key); }
};

}  // namespace brindell
