#include "json/json_document.h"

#include "json/json_text.h"

namespace brindell {

namespace {

const JsonDocument::Node& nodeOf(const JsonView& view) {
  return view.document()->nodes()[view.node()];
}

}  // namespace

std::string_view JsonDocument::decodedText(std::uint32_t offset, std::string_view raw) const {
  auto [entry, added] = decoded_.try_emplace(offset);
  if (added) entry->second = decodedString(raw);
  return entry->second;
}

JsonKind JsonView::kind() const {
  return nodeOf(*this).kind;
}

std::string_view JsonView::text() const {
  const JsonDocument::Node& node = nodeOf(*this);
  if (node.kind != JsonKind::string && node.kind != JsonKind::number) return {};
  return document_->text(node);
}

std::size_t JsonView::size() const {
  const JsonDocument::Node& node = nodeOf(*this);
  if (node.kind != JsonKind::array && node.kind != JsonKind::object) return 0;
  return node.length;
}

std::string_view JsonView::key(std::size_t i) const {
  return document_->text(document_->nodes()[nodeOf(*this).offset + 2 * i]);
}

JsonView JsonView::value(std::size_t i) const {
  return JsonView(document_, static_cast<std::uint32_t>(nodeOf(*this).offset + 2 * i + 1));
}

std::optional<JsonView> JsonView::find(std::string_view key) const {
  const JsonDocument::Node& node = nodeOf(*this);
  if (node.kind != JsonKind::object) return std::nullopt;
  // Members are sorted by key bytes, and std::string_view compares bytes as
  // unsigned values, the same order the parser sorted them in: the first
  // member whose key is not below `key` is found as std::lower_bound would.
  std::size_t first = 0;
  for (std::size_t count = node.length; count != 0;) {
    const std::size_t half = count / 2;
    if (this->key(first + half) < key) {
      first += half + 1;
      count -= half + 1;
    } else {
      count = half;
    }
  }
  if (first != node.length && this->key(first) == key) return value(first);
  return std::nullopt;
}

}  // namespace brindell
