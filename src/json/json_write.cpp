#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "json/json.h"
#include "json/json_text.h"

namespace brindell {

namespace {

using Node = JsonDocument::Node;

constexpr std::string_view replacementCharacter = "\xEF\xBF\xBD";

// Writes through a raw cursor. Encoding emits many short pieces, and
// std::string's own append re-checks and re-reads its size for each.
//
// Into a string, the string is lengthened a cache-sized step at a time (so the
// filler it writes is still hot when overwritten) and trimmed to what was
// written when the writer goes away, also when an allocation fails midway.
//
// Into a sink, output gathers in one buffer that is handed over each time it
// fills; a long run of bytes (a canonical document's own text) tops the buffer
// up and then goes to the sink where it stands, in pieces of at least the
// buffer's size, so it is never copied whole.
class Writer {
 public:
  Writer(std::string& out, std::size_t expected) : out_(&out) {
    out.reserve(out.size() + expected);
    cursor_ = limit_ = out.data() + out.size();
  }
  explicit Writer(const CanonicalJsonSink& sink)
      : sink_(&sink), buffer_(new char[sinkBufferBytes]) {
    cursor_ = buffer_.get();
    limit_ = cursor_ + sinkBufferBytes;
  }
  ~Writer() {
    if (out_ != nullptr) out_->resize(static_cast<std::size_t>(cursor_ - out_->data()));
  }
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  void put(char c) {
    if (cursor_ == limit_) makeRoom(1);
    *cursor_++ = c;
  }
  void put(const char* data, std::size_t size) {
    if (static_cast<std::size_t>(limit_ - cursor_) < size) {
      putLong(data, size);
      return;
    }
    std::memcpy(cursor_, data, size);
    cursor_ += size;
  }
  void put(std::string_view text) { put(text.data(), text.size()); }
  void put(const unsigned char* begin, const unsigned char* end) {
    put(reinterpret_cast<const char*>(begin), static_cast<std::size_t>(end - begin));
  }

  // Hands what is left to the sink; without a sink there is nothing to do.
  void finish() {
    if (sink_ != nullptr && cursor_ != buffer_.get()) handOver();
  }

 private:
  static constexpr std::size_t step = 64 * 1024;
  // Large enough that writing the pieces costs few system calls, small
  // enough to be a fixed cost next to the document.
  static constexpr std::size_t sinkBufferBytes = 256 * 1024;
  static_assert(sinkBufferBytes >= minimumSinkPieceBytes);

  void makeRoom(std::size_t needed) {
    if (sink_ != nullptr) {
      handOver();
      return;
    }
    const std::size_t used = static_cast<std::size_t>(cursor_ - out_->data());
    if (used + needed > out_->capacity()) {
      out_->reserve(std::max(used + needed, 2 * out_->capacity()));
    }
    out_->resize(std::min(out_->capacity(), used + std::max(needed, step)));
    cursor_ = out_->data() + used;
    limit_ = out_->data() + out_->size();
  }

  void putLong(const char* data, std::size_t size) {
    if (sink_ == nullptr) {
      makeRoom(size);
      std::memcpy(cursor_, data, size);
      cursor_ += size;
      return;
    }
    const auto room = static_cast<std::size_t>(limit_ - cursor_);
    std::memcpy(cursor_, data, room);
    cursor_ += room;
    data += room;
    size -= room;
    handOver();
    const std::size_t direct = size - size % sinkBufferBytes;
    if (direct != 0) (*sink_)(std::string_view(data, direct));
    std::memcpy(cursor_, data + direct, size - direct);
    cursor_ += size - direct;
  }

  void handOver() {
    (*sink_)(std::string_view(buffer_.get(), static_cast<std::size_t>(cursor_ - buffer_.get())));
    cursor_ = buffer_.get();
  }

  std::string* out_ = nullptr;
  const CanonicalJsonSink* sink_ = nullptr;
  std::unique_ptr<char[]> buffer_;
  char* cursor_;
  char* limit_;
};

// Counts what would be written, for canonicalSize: the encoding of a view
// below is a template over its output, so that the count comes from the very
// code that writes.
class Counter {
 public:
  void put(char) { ++count_; }
  void put(const char*, std::size_t size) { count_ += size; }
  void put(std::string_view text) { count_ += text.size(); }
  std::size_t count() const { return count_; }

 private:
  std::size_t count_ = 0;
};

// Counts what would be written if every string were written as it stands in
// its text, escapes and all: never less than the encoding, which only ever
// shortens an escape, and found without reading the text of any string.
class Bounder : public Counter {};

// Writes one character of a string's text as the canonical encoding does:
// as itself unless JSON needs it escaped, then by its short escape where it
// has one.
template <typename Output>
void putCharacter(Output& out, char32_t codePoint) {
  char bytes[6] = {'\\', 'u', '0', '0'};
  if (codePoint >= 0x20 && codePoint != '"' && codePoint != '\\') {
    out.put(bytes, encodeUtf8(codePoint, bytes));
    return;
  }
  const std::size_t letter = escapedCharacters.find(static_cast<char>(codePoint));
  if (letter != std::string_view::npos) {
    bytes[1] = escapeLetters[letter];
    out.put(bytes, 2);
    return;
  }
  constexpr char hex[] = "0123456789abcdef";
  bytes[4] = hex[codePoint >> 4];
  bytes[5] = hex[codePoint & 0xF];
  out.put(bytes, sizeof bytes);
}

// Writes `text` with each ill-formed UTF-8 sequence in it as U+FFFD, and
// when `escape` is set, with the bytes a JSON string escapes escaped.
void putRepaired(Writer& out, std::string_view text, bool escape) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  const auto* run = p;
  while (p != end) {
    if (*p < 0x80) {
      if (escape && (*p < 0x20 || *p == '"' || *p == '\\')) {
        out.put(run, p);
        putCharacter(out, *p);
        run = p + 1;
      }
      ++p;
      continue;
    }
    const Utf8Sequence sequence = utf8SequenceAt(p, end);
    if (!sequence.valid) {
      out.put(run, p);
      out.put(replacementCharacter);
      run = p + sequence.length;
    }
    p += sequence.length;
  }
  out.put(run, p);
}

void putString(Writer& out, std::string_view text) {
  out.put('"');
  putRepaired(out, text, true);
  out.put('"');
}

// Text as the canonical form carries it once decoded. Object keys are sorted
// by this, not by their raw bytes, so that a re-parsed encoding sorts the
// same way.
std::string repairedUtf8(std::string_view text) {
  std::string repaired;
  {
    Writer writer(repaired, text.size());
    putRepaired(writer, text, false);
  }
  return repaired;
}

template <typename Output>
void putStringNode(Output& out, const JsonDocument& document, const Node& node) {
  if constexpr (std::is_same_v<Output, Bounder>) {
    out.put(nullptr, std::size_t{node.length} + 2);
    return;
  }
  const char* p = document.source().data() + node.offset;
  const char* end = p + node.length;
  out.put('"');
  if (node.escapes == JsonDocument::Escapes::other) {
    // The text between escapes holds no quote or control character (the
    // parser refused those), so only the escapes the encoding writes another
    // way are rewritten, into the one form it uses for their code point.
    const char* run = p;
    // Backslashes are the only special bytes left in a valid string's text.
    while ((p = stringSpecialAt(p, end)) != end) {
      // The short escapes but "\/" are the encoding's own, and common.
      if (p[1] != 'u' && p[1] != '/') {
        p += 2;
        continue;
      }
      const Escape escape = escapeAt(p, end);
      if (!isCanonicalEscape(p, end)) {
        out.put(run, static_cast<std::size_t>(p - run));
        putCharacter(out, escape.codePoint);
        run = p + escape.length;
      }
      p += escape.length;
    }
    p = run;
  }
  // Otherwise the text is valid UTF-8 whose escapes, if any, are already the
  // encoding's own: the parser checked it.
  out.put(p, static_cast<std::size_t>(end - p));
  out.put('"');
}

template <typename Output>
void putView(Output& out, const JsonDocument& document, std::uint32_t root) {
  // An explicit stack keeps the native stack flat however deep the document.
  struct Frame {
    std::uint64_t first;
    std::uint64_t next;
    std::uint64_t end;
    bool object;
  };
  // A canonical text is its own encoding.
  if (root == JsonDocument::rootNode && document.canonical()) {
    out.put(document.source());
    return;
  }
  std::vector<Frame> frames;
  const Node* nodes = document.nodes().data();

  auto begin = [&](const Node& node) {
    switch (node.kind) {
      case JsonKind::null:
        out.put("null");
        return;
      case JsonKind::boolean:
        out.put(node.length != 0 ? std::string_view("true") : std::string_view("false"));
        return;
      case JsonKind::number:
        out.put(document.source().data() + node.offset, node.length);
        return;
      case JsonKind::string:
        putStringNode(out, document, node);
        return;
      case JsonKind::array:
      case JsonKind::object: {
        const bool object = node.kind == JsonKind::object;
        out.put(object ? '{' : '[');
        const std::uint64_t children = object ? 2 * std::uint64_t{node.length} : node.length;
        frames.push_back(Frame{node.offset, node.offset, node.offset + children, object});
        return;
      }
    }
  };

  begin(nodes[root]);
  while (!frames.empty()) {
    Frame& frame = frames.back();
    if (frame.next == frame.end) {
      out.put(frame.object ? '}' : ']');
      frames.pop_back();
      continue;
    }
    if (frame.next != frame.first) out.put(',');
    std::uint64_t child = frame.next;
    if (frame.object) {
      putStringNode(out, document, nodes[child]);
      out.put(':');
      ++child;
    }
    frame.next = child + 1;
    begin(nodes[child]);  // may grow `frames`; `frame` is not used after this
  }
}

void putObject(Writer& out, const JsonValue::Object& members);

void putValue(Writer& out, const JsonValue& value) {
  std::visit(
      [&out](const auto& data) {
        using T = std::decay_t<decltype(data)>;
        if constexpr (std::is_same_v<T, std::nullptr_t>) {
          out.put("null");
        } else if constexpr (std::is_same_v<T, bool>) {
          out.put(data ? std::string_view("true") : std::string_view("false"));
        } else if constexpr (std::is_same_v<T, JsonValue::Number>) {
          out.put(data.text);
        } else if constexpr (std::is_same_v<T, std::string>) {
          putString(out, data);
        } else if constexpr (std::is_same_v<T, JsonValue::Array>) {
          out.put('[');
          for (std::size_t i = 0; i < data.size(); ++i) {
            if (i != 0) out.put(',');
            putValue(out, data[i]);
          }
          out.put(']');
        } else if constexpr (std::is_same_v<T, JsonValue::Object>) {
          putObject(out, data);
        } else {
          static_assert(std::is_same_v<T, JsonValue::Embedded>);
          putView(out, *data.view.document(), data.view.node());
        }
      },
      value.data());
}

void putObject(Writer& out, const JsonValue::Object& members) {
  // By the repaired text of their keys, which differs from a key only where
  // it is not valid UTF-8.
  std::vector<std::string> repaired(members.size());
  std::vector<std::pair<std::string_view, const JsonValue::Object::value_type*>> order;
  order.reserve(members.size());
  for (std::size_t i = 0; i < members.size(); ++i) {
    std::string_view key = members[i].first;
    if (!isValidUtf8(key)) key = repaired[i] = repairedUtf8(key);
    order.emplace_back(key, &members[i]);
  }
  std::stable_sort(order.begin(), order.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  out.put('{');
  for (std::size_t i = 0; i < order.size(); ++i) {
    if (i != 0) out.put(',');
    putString(out, order[i].second->first);
    out.put(':');
    putValue(out, order[i].second->second);
  }
  out.put('}');
}

// What the documents a value embeds take, so that a response embedding a
// large one is written into one buffer instead of one that doubles its way
// up; the rest of a response is small next to the buffer's first step. The
// encoding of a document is never longer than its text: it drops whitespace,
// and each escape it writes stood at least as long in the input. A part of a
// document is sized for the whole text too: the pages reserved beyond what is
// written are never touched, so they cost no memory, and the output never has
// to be copied to grow.
std::size_t expectedSize(const JsonValue& value) {
  std::size_t size = 0;
  if (const auto* embedded = std::get_if<JsonValue::Embedded>(&value.data())) {
    size = embedded->document->source().size();
  } else if (const auto* array = std::get_if<JsonValue::Array>(&value.data())) {
    for (const JsonValue& element : *array) size += expectedSize(element);
  } else if (const auto* object = std::get_if<JsonValue::Object>(&value.data())) {
    for (const auto& member : *object) size += expectedSize(member.second);
  }
  return size;
}

}  // namespace

void appendCanonicalJson(std::string& out, const JsonValue& value) {
  Writer writer(out, expectedSize(value));
  putValue(writer, value);
}

std::string canonicalJson(JsonView value) {
  std::string out;
  {
    Writer writer(out, value.document()->source().size());  // see expectedSize
    putView(writer, *value.document(), value.node());
  }
  return out;
}

std::string canonicalJson(const JsonValue& value) {
  std::string out;
  appendCanonicalJson(out, value);
  return out;
}

std::size_t canonicalSize(JsonView value) {
  Counter counter;
  putView(counter, *value.document(), value.node());
  return counter.count();
}

std::size_t canonicalSizeBound(JsonView value) {
  Bounder bounder;
  putView(bounder, *value.document(), value.node());
  return bounder.count();
}

void writeCanonicalJson(JsonView value, const CanonicalJsonSink& sink) {
  Writer writer(sink);
  putView(writer, *value.document(), value.node());
  writer.finish();
}

}  // namespace brindell
