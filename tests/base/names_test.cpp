// The names a request carries, against the patterns they must match: every
// text one edit away from a valid name (each character replaced by each
// byte, or left out, or one more at the end) is judged as the pattern judges
// it.

#include <regex>

#include <gtest/gtest.h>

#include "base/names.h"
#include "support/sync_folder.h"

namespace brindell::testing {
namespace {

void expectJudgedAs(const char* pattern, bool (*judge)(std::string_view),
                    const std::string& valid) {
  const std::regex rule(pattern);
  std::vector<std::string> texts = {valid, valid + valid.back(), ""};
  for (std::size_t i = 0; i < valid.size(); ++i) {
    texts.push_back(valid.substr(0, i) + valid.substr(i + 1));
    for (int byte = 0; byte < 256; ++byte) texts.push_back(valid);
    for (int byte = 0; byte < 256; ++byte) texts[texts.size() - 256 + byte][i] = char(byte);
  }
  for (const std::string& text : texts) {
    EXPECT_EQ(judge(text), std::regex_match(text, rule)) << text;
  }
}

constexpr const char* uuid = "[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}";

TEST(Names, WorkspaceIdentifier) {
  expectJudgedAs(uuid, validID, workspaceA);
}

TEST(Names, HistoryFileName) {
  const std::string pattern = std::string(uuid) + "-[0-9a-f]{64}\\.brindell-history\\.json";
  expectJudgedAs(pattern.c_str(), isHistoryFileName, historyName(0x9af0));
}

}  // namespace
}  // namespace brindell::testing
