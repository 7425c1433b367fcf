#include <gtest/gtest.h>

#include "fileio/json.h"
#include "folder/manifest.h"
#include "request/sync_failure.h"

namespace brindell {
namespace {

constexpr const char* id = "0f8fad5b-d9cb-469f-a165-70867728950e";

bool accepted(const std::string& text) {
  try {
    manifestObject(parseObject(text));
    return true;
  } catch (const SyncFailure& failure) {
    EXPECT_EQ(failure.code, "SYNC_UNSUPPORTED_MANIFEST");
    return false;
  }
}

std::string manifest(const std::string& format, const std::string& version,
                     const std::string& workspace, const std::string& extra = "") {
  return R"({"format":)" + format + R"(,"version":)" + version + R"(,"workspaceId":)" + workspace +
         extra + "}";
}

TEST(Manifest, WrittenFormIs98CanonicalBytes) {
  const std::string bytes = canonicalJson(buildManifest(id));
  EXPECT_EQ(bytes, std::string(R"({"format":"brindell-folder-sync","version":1,"workspaceId":")") +
                       id + "\"}");
  EXPECT_EQ(bytes.size(), 98u);
  EXPECT_TRUE(accepted(bytes));
}

TEST(Manifest, ChecksKeysFormatVersionAndWorkspace) {
  const std::string format = "\"brindell-folder-sync\"", ws = std::string("\"") + id + "\"";
  for (const char* version : {"1", "1.0", "1e0", "10e-1", "0.1E1", "1.000"}) {
    EXPECT_TRUE(accepted(manifest(format, version, ws))) << version;
  }
  EXPECT_TRUE(accepted(" {\n \"workspaceId\" : " + ws + ", \"version\":1, \"format\":" + format + "}"));
  for (const char* version : {"2", "0", "true", "false", "\"1\"", "-1", "1.0000000000000000001", "null"}) {
    EXPECT_FALSE(accepted(manifest(format, version, ws))) << version;
  }
  EXPECT_FALSE(accepted(manifest(format, "1", ws, R"(,"comment":"x")")));
  EXPECT_FALSE(accepted(manifest("\"Brindell-folder-sync\"", "1", ws)));
  EXPECT_FALSE(accepted(manifest("\" brindell-folder-sync\"", "1", ws)));
  EXPECT_FALSE(accepted(manifest(format, "1", "\"0F8FAD5B-D9CB-469F-A165-70867728950E\"")));
  EXPECT_FALSE(accepted(manifest(format, "1", "\"0f8fad5bd9cb469fa16570867728950e\"")));
  EXPECT_FALSE(accepted("{}"));
  EXPECT_FALSE(accepted(R"({"format":"brindell-folder-sync","version":1})"));
}

}  // namespace
}  // namespace brindell
