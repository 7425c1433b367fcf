// Both ways of opening without links, the kernel's and the walk it falls
// back on, refuse a link anywhere on the path the same way. (Through the
// executable a refusal only ever reads as "not at its path", whatever the
// errno, and the walk serves only where openat2 is missing.)

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <gtest/gtest.h>

#include "fileio/safe_path.h"
#include "support/sync_folder.h"

namespace brindell::testing {
namespace {

using Opener = FileDescriptor (*)(const std::string&, int, mode_t);

class OpenWithoutLinks : public ::testing::TestWithParam<Opener> {};

TEST_P(OpenWithoutLinks, RefusesALinkAnywhereOnThePath) {
  TemporaryDirectory tree;
  const std::string root = tree.path();
  ::mkdir((root + "/dir").c_str(), 0700);
  writeFile(root + "/dir/file", "x");
  ::symlink((root + "/dir").c_str(), (root + "/link").c_str());
  ::symlink((root + "/dir/file").c_str(), (root + "/dir/filelink").c_str());
  ::mkfifo((root + "/dir/fifo").c_str(), 0600);
  const std::tuple<const char*, int, int> cases[] = {// path, flags, errno (0: opens)
                                                     {"/dir/file", O_RDONLY, 0},
                                                     {"/dir", O_RDONLY | O_DIRECTORY, 0},
                                                     {"/dir/fifo", O_RDONLY | O_NONBLOCK, 0},
                                                     {"/link/file", O_RDONLY, ELOOP},
                                                     {"/dir/filelink", O_RDONLY, ELOOP},
                                                     {"/dir/absent", O_RDONLY, ENOENT},
                                                     {"/dir/file/below", O_RDONLY, ENOTDIR},
                                                     {"", O_RDONLY | O_DIRECTORY, 0}};
  for (const auto& [path, flags, error] : cases) {
    errno = 0;
    const FileDescriptor opened = GetParam()(root + path, flags, 0);
    EXPECT_EQ(opened.valid() ? 0 : errno, error) << path;
  }
  EXPECT_TRUE(GetParam()("/", O_RDONLY | O_DIRECTORY, 0).valid());
}

INSTANTIATE_TEST_SUITE_P(KernelAndWalk, OpenWithoutLinks,
                         ::testing::Values(&openWithoutLinks, &openByWalkingWithoutLinks));

}  // namespace
}  // namespace brindell::testing
