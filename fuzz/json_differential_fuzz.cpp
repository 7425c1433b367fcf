// Runs the parser the helper had on Boost.JSON and the current one on the
// same bytes: both must refuse with the same failure, or both accept and give
// the same canonical encoding. The one intended difference is left out: the
// old parser refused numbers whose exponent leaves the 32-bit range, which
// are now kept like any other, so inputs with an exponent of ten digits or
// more are not compared.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "boost_reference/json.h"
#include "fileio/json.h"
#include "request/sync_failure.h"

namespace {

template <typename Parse>
std::string outcome(Parse parse) {
  try {
    return "ok " + parse();
  } catch (const brindell::SyncFailure& failure) {
    return failure.code + " " + failure.message;
  }
}

bool hasLongExponent(std::string_view bytes) {
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] != 'e' && bytes[i] != 'E') continue;
    std::size_t j = i + 1;
    if (j < bytes.size() && (bytes[j] == '+' || bytes[j] == '-')) ++j;
    std::size_t digits = 0;
    while (j < bytes.size() && bytes[j] >= '0' && bytes[j] <= '9') ++j, ++digits;
    if (digits >= 10) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  if (hasLongExponent(bytes)) return 0;
  const std::string old = outcome([&] {
    return brindell::reference::canonicalJson(brindell::reference::parseObject(bytes).view());
  });
  const std::string current =
      outcome([&] { return brindell::canonicalJson(brindell::parseObject(bytes).view()); });
  if (old != current) std::abort();
  return 0;
}
