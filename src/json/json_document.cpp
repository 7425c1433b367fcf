#include "json/json_document.h"

#include <algorithm>
#include <ranges>

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
  if (kind() != JsonKind::object) return std::nullopt;
  // Members are sorted by key bytes, and std::string_view compares bytes as
  // unsigned values, the same order the parser sorted them in.
  const auto members = std::views::iota(std::size_t{0}, size());
  const auto at =
      std::ranges::partition_point(members, [&](std::size_t i) { return this->key(i) < key; });
  if (at != members.end() && this->key(*at) == key) return value(*at);
  return std::nullopt;
}

}  // namespace brindell
