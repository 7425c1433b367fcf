// Both ways of opening without links, the kernel's and the walk it falls
// back on, must refuse a link anywhere on the path the same way.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <gtest/gtest.h>

#include "fileio/safe_path.h"
#include "support/helper_process.h"

namespace brindell::testing {
namespace {

using Opener = FileDescriptor (*)(const std::string&, int, mode_t);

struct OpenCase {
  const char* relative;
  int flags;
  int error;  // 0: opens
};

class OpenWithoutLinks : public ::testing::TestWithParam<Opener> {};

TEST_P(OpenWithoutLinks, RefusesALinkAnywhereOnThePath) {
  TemporaryDirectory tree;
  const std::string root = tree.path();
  ::mkdir((root + "/dir").c_str(), 0700);
  writeFile(root + "/dir/file", "x");
  ::symlink((root + "/dir").c_str(), (root + "/link").c_str());
  ::symlink((root + "/dir/file").c_str(), (root + "/dir/filelink").c_str());
  ::mkfifo((root + "/dir/fifo").c_str(), 0600);
  for (const OpenCase& c :
       {OpenCase{"/dir/file", O_RDONLY, 0}, OpenCase{"/dir", O_RDONLY | O_DIRECTORY, 0},
        OpenCase{"/dir/fifo", O_RDONLY | O_NONBLOCK, 0}, OpenCase{"/link/file", O_RDONLY, ELOOP},
        OpenCase{"/dir/filelink", O_RDONLY, ELOOP}, OpenCase{"/dir/absent", O_RDONLY, ENOENT},
        OpenCase{"/dir/file/below", O_RDONLY, ENOTDIR}}) {
    errno = 0;
    const FileDescriptor opened = GetParam()(root + c.relative, c.flags, 0);
    EXPECT_EQ(opened.valid() ? 0 : errno, c.error) << c.relative;
  }
}

INSTANTIATE_TEST_SUITE_P(KernelAndWalk, OpenWithoutLinks,
                         ::testing::Values(&openWithoutLinks, &openByWalkingWithoutLinks));

}  // namespace
}  // namespace brindell::testing
