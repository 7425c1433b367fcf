#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "json/json_document.h"

namespace brindell {

// A JSON value the helper builds itself: results, the response envelope, the
// manifest that create writes. It can embed a value of a parsed document
// (a manifest read back, a history object) without copying it.
class JsonValue {
 public:
  struct Number {
    std::string text;  // a valid JSON number literal, written as it stands
  };
  struct Embedded {
    std::shared_ptr<const JsonDocument> document;
    JsonView view;
  };
  using Array = std::vector<JsonValue>;
  // Members in any order; the writer sorts them. Keys must be unique.
  using Object = std::vector<std::pair<std::string, JsonValue>>;

  JsonValue() : data_(nullptr) {}
  JsonValue(bool value) : data_(value) {}
  JsonValue(const char* text) : data_(std::string(text)) {}
  JsonValue(std::string text) : data_(std::move(text)) {}
  JsonValue(std::int64_t integer) : data_(Number{std::to_string(integer)}) {}
  JsonValue(Array array) : data_(std::move(array)) {}
  JsonValue(Object object) : data_(std::move(object)) {}
  // The root object of a parsed document.
  JsonValue(const JsonObject& object) : data_(Embedded{object.document, object.view()}) {}
  JsonValue(std::shared_ptr<const JsonDocument> document, JsonView view)
      : data_(Embedded{std::move(document), view}) {}

  using Data = std::variant<std::nullptr_t, bool, Number, std::string, Array, Object, Embedded>;
  const Data& data() const { return data_; }

 private:
  Data data_;
};

}  // namespace brindell
