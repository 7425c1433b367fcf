#include "folder/manifest.h"

#include "base/names.h"
#include "base/sync_failure.h"

namespace brindell {

bool numberEqualsOne(std::string_view literal) {
  // Decide exactly on the decimal digits rather than through a double, which
  // would round 1.00000000000000000001 to 1.
  std::size_t i = 0;
  if (i < literal.size() && literal[i] == '-') return false;
  std::string digits;
  long long pointPosition = 0;  // digits before the decimal point
  while (i < literal.size() && literal[i] >= '0' && literal[i] <= '9') {
    digits += literal[i++];
    ++pointPosition;
  }
  if (i < literal.size() && literal[i] == '.') {
    ++i;
    while (i < literal.size() && literal[i] >= '0' && literal[i] <= '9') digits += literal[i++];
  }
  long long exponent = 0;
  if (i < literal.size() && (literal[i] == 'e' || literal[i] == 'E')) {
    ++i;
    bool negative = false;
    if (i < literal.size() && (literal[i] == '+' || literal[i] == '-'))
      negative = literal[i++] == '-';
    while (i < literal.size() && literal[i] >= '0' && literal[i] <= '9') {
      // Any exponent this large makes a non-zero value far from 1.
      if (exponent < 1'000'000) exponent = exponent * 10 + (literal[i] - '0');
      ++i;
    }
    if (negative) exponent = -exponent;
  }
  const std::size_t first = digits.find_first_not_of('0');
  if (first == std::string::npos) return false;  // zero
  const std::size_t last = digits.find_last_not_of('0');
  // The value is 0.d1d2... x 10^(pointPosition - first + exponent).
  return first == last && digits[first] == '1' &&
         pointPosition - static_cast<long long>(first) + exponent == 1;
}

const JsonObject& manifestObject(const JsonObject& object) {
  const JsonView manifest = object.view();
  const auto format = manifest.find("format");
  const auto version = manifest.find("version");
  const auto workspaceId = manifest.find("workspaceId");
  const bool valid = manifest.size() == 3 && format && version && workspaceId &&
                     format->isString() && format->text() == manifestFormat &&
                     version->kind() == JsonKind::number && numberEqualsOne(version->text()) &&
                     workspaceId->isString() && validID(workspaceId->text());
  if (!valid) {
    throw SyncFailure{Code::unsupportedManifest,
                      "This folder does not contain a supported Brindell sync manifest. Update "
                      "Brindell or select the correct folder."};
  }
  return object;
}

JsonValue buildManifest(const std::string& workspaceId) {
  return JsonValue::Object{
      {"format", manifestFormat}, {"version", std::int64_t{1}}, {"workspaceId", workspaceId}};
}

}  // namespace brindell
