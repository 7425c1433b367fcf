// Parsing builds a JsonDocument straight from Boost.JSON's event parser, so no
// intermediate DOM is allocated: each value costs one 8-byte node, text
// without escapes is referenced in the input, and only text with escapes is
// decoded, into the document's own buffer. The input itself is never written:
// a canonical input is later sent out as it stands, so it must stay exactly
// what was read. Whether it is its canonical encoding is found on the way.

#include <algorithm>
#include <boost/json/basic_parser_impl.hpp>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "boost_reference/json.h"
#include "request/sync_failure.h"

namespace brindell::reference {

namespace {

using Node = JsonDocument::Node;

// Node indices and text lengths are 32-bit; anything that would overflow them
// is refused as invalid rather than silently wrapped.
constexpr std::size_t maximumNodeCount = std::numeric_limits<std::uint32_t>::max();

// Receives the parser's events. Completed values wait on `pending_` until
// their container closes; the container's children are then moved into the
// document's node array as one contiguous run, so a container never needs to
// know its size up front and nodes are never moved twice.
class DocumentBuilder {
 public:
  static constexpr std::size_t max_array_size = maximumNodeCount;
  static constexpr std::size_t max_object_size = maximumNodeCount / 2;
  static constexpr std::size_t max_string_size = std::numeric_limits<std::uint32_t>::max();
  static constexpr std::size_t max_key_size = std::numeric_limits<std::uint32_t>::max();

  explicit DocumentBuilder(JsonDocument* document)
      : document_(document),
        sourceBegin_(document->source.data()),
        sourceEnd_(document->source.data() + document->source.size()),
        lastEnd_(sourceBegin_) {
    pending_.reserve(256);
  }

  bool on_document_begin(boost::json::error_code&) { return true; }

  bool on_document_end(boost::json::error_code& ec) {
    if (document_->nodes.size() + 1 > maximumNodeCount) return refuse(ec);
    document_->nodes.push_back(pending_.back());
    document_->rootNode = static_cast<std::uint32_t>(document_->nodes.size() - 1);
    pending_.clear();
    noteGap(lastEnd_, sourceEnd_);
    document_->canonical = canonical_;
    return true;
  }

  bool on_array_begin(boost::json::error_code&) { return true; }
  bool on_array_end(std::size_t count, boost::json::error_code& ec) {
    return close(JsonKind::array, count, count, ec);
  }

  bool on_object_begin(boost::json::error_code&) { return true; }
  bool on_object_end(std::size_t count, boost::json::error_code& ec) {
    if (!sortMembers(count)) return refuse(ec);
    return close(JsonKind::object, count, 2 * count, ec);
  }

  bool on_string_part(boost::json::string_view s, std::size_t, boost::json::error_code& ec) {
    return appendPart(s) || refuse(ec);
  }
  bool on_string(boost::json::string_view s, std::size_t, boost::json::error_code& ec) {
    return finishText(JsonKind::string, s) || refuse(ec);
  }
  bool on_key_part(boost::json::string_view s, std::size_t, boost::json::error_code& ec) {
    return appendPart(s) || refuse(ec);
  }
  bool on_key(boost::json::string_view s, std::size_t, boost::json::error_code& ec) {
    return finishText(JsonKind::string, s) || refuse(ec);
  }

  // Numbers are kept as their literal text; the parsed binary value is
  // dropped so that 1E400, -0 and 30-digit integers survive unchanged.
  // Given the whole text at once, the parser hands every number over in one
  // piece inside the input; a number in parts would have no place there.
  bool on_number_part(boost::json::string_view, boost::json::error_code& ec) { return refuse(ec); }
  bool on_int64(std::int64_t, boost::json::string_view s, boost::json::error_code& ec) {
    return finishText(JsonKind::number, s) || refuse(ec);
  }
  bool on_uint64(std::uint64_t, boost::json::string_view s, boost::json::error_code& ec) {
    return finishText(JsonKind::number, s) || refuse(ec);
  }
  bool on_double(double, boost::json::string_view s, boost::json::error_code& ec) {
    return finishText(JsonKind::number, s) || refuse(ec);
  }

  bool on_bool(bool value, boost::json::error_code&) {
    pending_.push_back(Node{JsonKind::boolean, false, value ? 1u : 0u, 0});
    return true;
  }
  bool on_null(boost::json::error_code&) {
    pending_.push_back(Node{JsonKind::null, false, 0, 0});
    return true;
  }

  // Comments are not enabled, so these are never called.
  bool on_comment_part(boost::json::string_view, boost::json::error_code&) { return true; }
  bool on_comment(boost::json::string_view, boost::json::error_code&) { return true; }

 private:
  struct Member {
    std::string_view text;  // of the key
    Node key;
    Node value;
  };

  static bool refuse(boost::json::error_code& ec) {
    ec = boost::json::error::syntax;
    return false;
  }

  bool inSource(boost::json::string_view s) const {
    return s.data() != nullptr && std::greater_equal<const char*>()(s.data(), sourceBegin_) &&
           std::less_equal<const char*>()(s.data() + s.size(), sourceEnd_);
  }

  // Whitespace between tokens makes a text non-canonical. Everything between
  // two tokens whose places are known is punctuation, literals or
  // whitespace, so looking for whitespace there is enough.
  void noteGap(const char* from, const char* to) {
    if (!canonical_) return;
    for (const char* p = from; p < to; ++p) {
      if (*p == ' ' || *p == '\n' || *p == '\r' || *p == '\t') {
        canonical_ = false;
        return;
      }
    }
  }

  // The first part of a string with escapes: find its escaped form in the
  // input, to learn where the token ends and whether its escapes are the
  // canonical ones; its decoded text goes to the document's buffer. It begins at the
  // first quote after the last token whose place is known (only punctuation,
  // literals and whitespace lie between), and ends at the first unescaped
  // quote after that. Whether its escapes are the canonical ones is noted.
  bool beginEscaped() {
    const char* quote = static_cast<const char*>(
        std::memchr(lastEnd_, '"', static_cast<std::size_t>(sourceEnd_ - lastEnd_)));
    if (quote == nullptr) return false;
    noteGap(lastEnd_, quote);
    decodedStart_ = document_->decoded.size();
    // The parser has not read all of the string yet, so the scan keeps to
    // the input's end; a string cut off there is refused by the parser.
    const char* p = quote + 1;
    while (p < sourceEnd_ && *p != '"') {
      if (*p != '\\') {
        ++p;
        continue;
      }
      const std::ptrdiff_t escapeLength = p + 1 < sourceEnd_ && p[1] == 'u' ? 6 : 2;
      if (sourceEnd_ - p < escapeLength) {
        p = sourceEnd_;
        break;
      }
      if (canonical_ && !isCanonicalEscape(p)) canonical_ = false;
      p += escapeLength;
    }
    rawEnd_ = p;
    return true;
  }

  // The canonical form escapes quote, backslash and the controls with short
  // forms that way, other controls as \u00xx in lowercase, and nothing else.
  static bool isCanonicalEscape(const char* escape) {
    switch (escape[1]) {
      case '"':
      case '\\':
      case 'b':
      case 'f':
      case 'n':
      case 'r':
      case 't':
        return true;
      case 'u': {
        auto hex = [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); };
        if (escape[2] != '0' || escape[3] != '0' || !hex(escape[4]) || !hex(escape[5])) {
          return false;
        }
        const int code =
            (escape[4] - '0') * 16 + (escape[5] <= '9' ? escape[5] - '0' : escape[5] - 'a' + 10);
        return code < 0x20 && code != '\b' && code != '\f' && code != '\n' && code != '\r' &&
               code != '\t';
      }
      default:
        return false;
    }
  }

  bool appendPart(boost::json::string_view s) {
    if (!partial_) {
      if (!beginEscaped()) return false;
      partial_ = true;
    }
    document_->decoded.append(s.data(), s.size());
    return true;
  }

  bool finishText(JsonKind kind, boost::json::string_view s) {
    if (!partial_ && inSource(s)) {
      // A string's view starts after its opening quote; a number's at itself.
      const char* start = kind == JsonKind::number ? s.data() : s.data() - 1;
      noteGap(lastEnd_, start);
      lastEnd_ = s.data() + s.size() + (kind == JsonKind::number ? 0 : 1);
      pending_.push_back(Node{kind, true, static_cast<std::uint32_t>(s.size()),
                              static_cast<std::uint64_t>(s.data() - sourceBegin_)});
      return true;
    }
    if (kind == JsonKind::number || !appendPart(s)) return false;
    partial_ = false;
    lastEnd_ = std::min(rawEnd_ + 1, sourceEnd_);
    pending_.push_back(Node{kind, false,
                            static_cast<std::uint32_t>(document_->decoded.size() - decodedStart_),
                            decodedStart_});
    return true;
  }

  std::string_view keyText(const Node& key) const { return document_->text(key); }

  // Puts the last `count` members on the pending stack in key-byte order and
  // reports whether all keys differ. Canonical input is already sorted, so
  // that case is checked first and costs one comparison per member.
  bool sortMembers(std::size_t count) {
    if (count < 2) return true;
    Node* first = pending_.data() + pending_.size() - 2 * count;
    bool sorted = true;
    for (std::size_t i = 1; i < count; ++i) {
      const int order = keyText(first[2 * i - 2]).compare(keyText(first[2 * i]));
      if (order == 0) return false;
      if (order > 0) {
        sorted = false;
        canonical_ = false;
        break;
      }
    }
    if (sorted) return true;

    members_.clear();
    for (std::size_t i = 0; i < count; ++i) {
      members_.push_back(Member{keyText(first[2 * i]), first[2 * i], first[2 * i + 1]});
    }
    std::sort(members_.begin(), members_.end(),
              [](const Member& a, const Member& b) { return a.text < b.text; });
    for (std::size_t i = 0; i < count; ++i) {
      if (i > 0 && members_[i - 1].text == members_[i].text) return false;
      first[2 * i] = members_[i].key;
      first[2 * i + 1] = members_[i].value;
    }
    return true;
  }

  bool close(JsonKind kind, std::size_t length, std::size_t children, boost::json::error_code& ec) {
    std::vector<Node>& nodes = document_->nodes;
    if (nodes.size() + children + 1 > maximumNodeCount) return refuse(ec);
    const std::uint64_t firstChild = nodes.size();
    const auto childrenBegin = pending_.end() - static_cast<std::ptrdiff_t>(children);
    nodes.insert(nodes.end(), childrenBegin, pending_.end());
    pending_.erase(childrenBegin, pending_.end());
    pending_.push_back(Node{kind, false, static_cast<std::uint32_t>(length), firstChild});
    return true;
  }

  JsonDocument* document_;
  const char* sourceBegin_;
  const char* sourceEnd_;
  std::vector<Node> pending_;
  std::vector<Member> members_;
  bool partial_ = false;
  // The string being received in parts: where its decoded text starts, and
  // the closing quote of its escaped form.
  std::size_t decodedStart_ = 0;
  const char* rawEnd_ = nullptr;
  // Just past the last token whose place in the input is known.
  const char* lastEnd_ = nullptr;
  bool canonical_ = true;
};

// An upper bound on the number of nodes a text can give, found in one cheap
// pass: every key is preceded by '{' or ',', every value by ':', '[' or ','
// (or is the root). Bytes inside strings are counted too, which only loosens
// the bound; a valid text has at most one node per two bytes, which caps it.
std::size_t nodeBound(std::string_view text) {
  std::size_t bound = 1;
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p != end) {
    // A byte-sized counter over short blocks lets the compiler vectorise this.
    const std::size_t block = std::min<std::size_t>(static_cast<std::size_t>(end - p), 255);
    unsigned char separators = 0;
    for (std::size_t i = 0; i < block; ++i) {
      const unsigned char c = p[i];
      separators += (c == ',') | (c == ':') | ((c | 0x20) == '{');  // '[' | 0x20 == '{'
    }
    bound += separators;
    p += block;
  }
  return std::min({bound, text.size() / 2 + 1, maximumNodeCount});
}

[[noreturn]] void failInvalid() {
  throw SyncFailure{"SYNC_INVALID_FILE",
                    "A sync file contains invalid JSON. Preserve it for inspection; local "
                    "workspace data is unchanged."};
}

}  // namespace

JsonObject parseObject(std::string bytes) {
  if (bytes.size() > JsonDocument::maximumSourceBytes) failInvalid();
  auto document = std::make_shared<JsonDocument>();
  document->source = std::move(bytes);
  // Reserving the bound spares the node array its growth copies, which would
  // otherwise briefly need three times its final size; pages beyond what is
  // written are never touched.
  document->nodes.reserve(nodeBound(document->source));
  // Decoding never lengthens text. As above, only what is written is touched.
  document->decoded.reserve(document->source.size());

  boost::json::parse_options options;
  // Boost counts the outermost container as depth 1, so this admits exactly
  // maximumJsonDepth levels. Its parser recurses once per level, which this
  // bound keeps to a small fixed amount of stack (about 100 KiB optimised).
  options.max_depth = maximumJsonDepth;
  {
    boost::json::basic_parser<DocumentBuilder> parser(options, document.get());
    boost::json::error_code ec;
    const std::string& source = document->source;
    const std::size_t consumed = parser.write_some(false, source.data(), source.size(), ec);
    // A complete value followed by anything but whitespace stops the parser
    // early without an error, so the consumed count has to be checked too.
    if (ec || !parser.done() || consumed != source.size()) failInvalid();
  }

  const JsonKind kind = document->nodes[document->rootNode].kind();
  if (kind == JsonKind::array) {
    throw SyncFailure{"SYNC_INVALID_FILE", "A sync file must contain one JSON object."};
  }
  if (kind != JsonKind::object) failInvalid();
  return JsonObject{std::move(document)};
}

}  // namespace brindell::reference
