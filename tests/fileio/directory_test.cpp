// A held directory is found at its path until the path names something
// else: the directory moved, a link or a file put on the path, nothing there.
// And a bounded read holds its bound.

#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>
#include <unistd.h>

#include "fileio/bounded_read.h"
#include "fileio/directory.h"
#include "support/sync_folder.h"

namespace brindell::testing {
namespace {

TEST(HeldDirectory, IsAtItsPathUntilThePathNamesSomethingElse) {
  TemporaryDirectory tree;
  const std::string root = tree.path();
  const std::function<void()> changes[] = {
      [] {}, [&] { std::filesystem::rename(root + "/a/b", root + "/moved"); },
      [&] {
        std::filesystem::rename(root + "/a", root + "/real");
        std::filesystem::create_directory_symlink(root + "/real", root + "/a");
      },
      [&] {
        std::filesystem::remove_all(root + "/a");
        writeFile(root + "/a", "");
      },
      [&] { std::filesystem::remove_all(root + "/a"); }};
  for (std::size_t i = 0; i < std::size(changes); ++i) {
    for (const char* name : {"/a", "/real", "/moved"}) std::filesystem::remove_all(root + name);
    std::filesystem::create_directories(root + "/a/b");
    const Directory held = openDirectory(root + "/a/b");
    changes[i]();
    EXPECT_EQ(stillAtItsPath(held), i == 0) << i;
  }
}

// A file can hold more than its size said when it was opened, as one growing
// meanwhile does; the kernel's own files all say 0, and those of a process
// belong to its user, as everything the helper reads must. The bound still
// holds.
TEST(BoundedRead, HoldsTheBoundPastTheSizeAFileReported) {
  const Directory process = openDirectory("/proc/" + std::to_string(::getpid()));
  const ByteBuffer whole = boundedBytes(process, "cmdline", 1 << 20);
  const std::string_view text(whole.data(), whole.size());
  EXPECT_TRUE(text.size() > 1 && text.back() == '\0') << text;
  EXPECT_EQ(boundedBytes(process, "cmdline", static_cast<std::int64_t>(whole.size())).size(),
            whole.size());
  try {
    boundedBytes(process, "cmdline", static_cast<std::int64_t>(whole.size()) - 1);
    ADD_FAILURE() << "read past the bound";
  } catch (const SyncFailure& failure) {
    EXPECT_EQ(failure.code, Code::capacity);
  }
}

}  // namespace
}  // namespace brindell::testing
