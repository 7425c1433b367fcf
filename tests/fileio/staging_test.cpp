// Where helpers keep what they share, how a staging directory is made when
// names or the disk refuse, and that a killed helper's leftovers are all
// reached however crowded their parent is.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>

#include "fileio/private_directory.h"
#include "fileio/staging.h"
#include "support/faulty_file_system.h"
#include "support/sync_folder.h"

namespace brindell::testing {
namespace {

using Fault = FaultyFileSystem::Fault;

TEST(PrivateDirectory, IsTheRuntimeOnesOwnElseOneInTmpElseRefused) {
  TemporaryDirectory runtime;
  const std::string fallback = "/tmp/brindell-" + std::to_string(::geteuid());
  const char* saved = std::getenv("XDG_RUNTIME_DIR");
  const std::string previous = saved != nullptr ? saved : "";
  ::setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);
  EXPECT_EQ(findPrivateDirectory().path, runtime.path() + "/brindell");
  ::chmod((runtime.path() + "/brindell").c_str(), 0755);
  EXPECT_EQ(findPrivateDirectory().path, fallback);
  ::setenv("XDG_RUNTIME_DIR", (runtime.path() + "/gone").c_str(), 1);
  EXPECT_EQ(findPrivateDirectory().path, fallback);
  ::unsetenv("XDG_RUNTIME_DIR");
  {
    FaultyFileSystem faulty;
    faulty.faults = {{.call = "makeDirectory", .error = EACCES}};
    EXPECT_EQ(outcomeOf([] { findPrivateDirectory(); }),
              "SYNC_IO: Cannot coordinate with other helpers: " + fallback +
                  " is not a private directory of this user. Local workspace data is unchanged.");
  }
  if (saved != nullptr) ::setenv("XDG_RUNTIME_DIR", previous.c_str(), 1);
}

TEST(StagingDirectory, IsRefusedWithTheReasonWhenNoneCanBeMade) {
  TemporaryDirectory root;
  const Directory parent = openDirectory(root.path());
  const std::string prefix =
      "SYNC_IO: Sync folder access failed: Cannot create a staging "
      "directory in \u201c" +
      std::filesystem::path(root.path()).filename().string() + "\u201d";
  const struct {
    Fault fault;
    std::string reason;
  } rows[] = {
      {{.call = "makeDirectory", .error = EEXIST}, ": every name tried was taken."},
      {{.call = "makeDirectory", .error = EACCES}, ": Permission denied."},
      {{.call = "open", .error = EMFILE, .flags = O_DIRECTORY}, ": Too many open files."},
      {{.call = "duplicate", .error = EMFILE, .nth = 2}, ": Too many open files."},
      {{.call = "lock", .error = ENOLCK}, ": No locks available."},
  };
  for (const auto& row : rows) {
    FaultyFileSystem faulty;
    faulty.faults = {row.fault};
    EXPECT_EQ(outcomeOf([&] { StagingDirectory staging(parent); }),
              prefix + row.reason + " Local workspace data is unchanged.");
    EXPECT_EQ(stagingLeftovers(root.path()), std::vector<std::string>{}) << row.reason;
  }
}

// Leftovers of killed helpers among many other entries: a request looks at a
// bounded number of entries, and the next goes on where it stopped.
TEST(StaleStaging, IsAllReachedInAParentOfAnySize) {
  TemporaryDirectory root;
  const Directory parent = openDirectory(root.path());
  for (int i = 0; i < 8192; ++i) writeFile(root.path() + "/other-" + std::to_string(i), "");
  {
    FaultyFileSystem faulty;
    faulty.faults = {{.call = "remove", .error = EIO}};
    for (int i = 0; i < 16; ++i) StagingDirectory kept(parent);
  }
  ageStagingLeftovers(root.path());
  std::vector<std::size_t> left;
  for (int request = 0; request < 3; ++request) {
    removeStaleStagingDirectories(parent);
    left.push_back(stagingLeftovers(root.path()).size());
  }
  EXPECT_TRUE(left.front() > 0 && left.back() == 0) << ::testing::PrintToString(left);
}

}  // namespace
}  // namespace brindell::testing
