// Both ways of opening without links, the kernel's and the walk it falls
// back on, refuse a link anywhere on the path the same way, and a held
// directory is found at its path until it moves. (Through the executable a
// refusal only ever reads as "not at its path", whatever the errno, and that
// only matters where the directory's current path differs.)

#include "fileio/safe_path.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>
#include <unistd.h>

#include "fileio/bounded_read.h"
#include "fileio/directory.h"
#include "support/sync_folder.h"

namespace brindell::testing {
namespace {

class OpenWithoutLinks
    : public ::testing::TestWithParam<FileDescriptor (*)(const std::string&, int)> {};

TEST_P(OpenWithoutLinks, RefusesALinkAnywhereOnThePath) {
  TemporaryDirectory tree;
  const std::string root = tree.path();
  std::filesystem::create_directory(root + "/dir");
  writeFile(root + "/dir/file", "x");
  std::filesystem::create_directory_symlink(root + "/dir", root + "/link");
  std::filesystem::create_symlink(root + "/dir/file", root + "/dir/filelink");
  ::mkfifo((root + "/dir/fifo").c_str(), 0600);
  // A path below the root, how it is opened, and the errno (0: it opens).
  // clang-format off
  const std::tuple<const char*, int, int> cases[] = {
      {"/dir/file", O_RDONLY, 0}, {"/dir", O_DIRECTORY, 0}, {"/dir/fifo", O_NONBLOCK, 0},
      {"/link/file", O_RDONLY, ELOOP}, {"/dir/filelink", O_RDONLY, ELOOP},
      {"/dir/absent", O_RDONLY, ENOENT}, {"/dir/file/below", O_RDONLY, ENOTDIR},
      {"/dir/fifo/below", O_RDONLY, ENOTDIR}};
  // clang-format on
  for (const auto& [path, flags, error] : cases) {
    errno = 0;
    const FileDescriptor opened = GetParam()(root + path, flags);
    // What opens is closed on exec.
    EXPECT_EQ(opened.valid() ? ::fcntl(opened.get(), F_GETFD) : errno, error ? error : FD_CLOEXEC)
        << path;
  }
  EXPECT_TRUE(GetParam()("/", O_DIRECTORY).valid());
  // What a held directory's path names now: itself until it moves.
  const Directory held = openDirectory(root + "/dir");
  EXPECT_TRUE(stillAtItsPath(held));
  std::filesystem::rename(root + "/dir", root + "/moved");
  EXPECT_FALSE(stillAtItsPath(held));
}

INSTANTIATE_TEST_SUITE_P(KernelAndWalk, OpenWithoutLinks,
                         ::testing::Values(&openWithoutLinks, &openByWalkingWithoutLinks));

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
