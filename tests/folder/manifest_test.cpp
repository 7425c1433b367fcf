#include <gtest/gtest.h>

#include "folder/manifest.h"
#include "json/json.h"
#include "support/sync_folder.h"

namespace brindell::testing {
namespace {

std::string manifest(const std::string& format, const std::string& version,
                     const std::string& workspace = jsonString(workspaceA)) {
  return R"({"format":)" + format + R"(,"version":)" + version + R"(,"workspaceId":)" + workspace +
         "}";
}
const std::string format = "\"brindell-folder-sync\"";

std::string outcome(const std::string& text) {
  return outcomeOf([&] { manifestObject(parseObject(text)); });
}

TEST(Manifest, AcceptsTheThreeKeysWithAVersionEqualToOne) {
  EXPECT_EQ(canonicalJson(buildManifest(workspaceA)), manifestText());
  for (const char* version : {"1", "1.0", "1e0", "10e-1", "0.1E1", "1.000"}) {
    EXPECT_EQ(outcome(manifest(format, version)), "ok") << version;
  }
  EXPECT_EQ(outcome(" {\n \"workspaceId\" : \"" + std::string(workspaceA) +
                    "\", \"version\":1, \"format\":" + format + "}"),
            "ok");
}

TEST(Manifest, RefusesAnythingElse) {
  for (const std::string& text :
       {manifest(format, "2"), manifest(format, "0"), manifest(format, "true"),
        manifest(format, "false"), manifest(format, "\"1\""), manifest(format, "-1"),
        manifest(format, "1.0000000000000000001"), manifest(format, "null"),
        manifest(format, "1", jsonString(workspaceA) + R"(,"comment":"x")"),
        manifest("\"Brindell-folder-sync\"", "1"), manifest("\" brindell-folder-sync\"", "1"),
        manifest(format, "1", "\"0F8FAD5B-D9CB-469F-A165-70867728950E\""),
        manifest(format, "1", "\"0f8fad5bd9cb469fa16570867728950e\""), std::string("{}"),
        std::string(R"({"format":"brindell-folder-sync","version":1})")}) {
    EXPECT_EQ(outcome(text),
              "SYNC_UNSUPPORTED_MANIFEST: This folder does not contain a supported Brindell sync "
              "manifest. Update Brindell or select the correct folder.")
        << text;
  }
}

}  // namespace
}  // namespace brindell::testing
