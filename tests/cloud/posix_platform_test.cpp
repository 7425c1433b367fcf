// The POSIX platform against the real file system, with real processes
// holding and waiting for coordination.

#include "cloud/posix_platform.h"

#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <filesystem>
#include <functional>
#include <set>
#include <thread>

#include "cloud/coordinated_access.h"
#include "fileio/file_descriptor.h"
#include "support/sync_folder.h"

namespace brindell::testing {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

bool present(const std::string& path) {
  return fs::exists(fs::symlink_status(path));
}

// A forked process running `body`, which may tell the parent it is ready and
// then wait until the parent lets it go (or goes away itself).
class Child {
 public:
  explicit Child(const std::function<void(Child&)>& body) {
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, channel_) != 0) std::abort();
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(channel_[0]);
      body(*this);
      ::_exit(0);
    }
    ::close(channel_[1]);
  }
  ~Child() {
    ::close(channel_[0]);
    ::waitpid(pid_, nullptr, 0);
  }
  void signalReady() { (void)!::write(channel_[1], "r", 1); }
  void waitForRelease() {
    char byte;
    (void)!::read(channel_[1], &byte, 1);
  }
  bool waitUntilReady() {
    char byte;
    return ::read(channel_[0], &byte, 1) == 1;
  }

 private:
  int channel_[2];
  pid_t pid_;
};

void holdCoordination(Child& self, const std::string& path, bool exclusive) {
  PosixPlatform platform;
  auto hold = [&](const std::string&) {
    self.signalReady();
    self.waitForRelease();
  };
  exclusive ? platform.coordinateWriting(path, 0, hold) : platform.coordinateReading(path, 0, hold);
}

class PosixPlatformTest : public ::testing::Test {
 protected:
  TemporaryDirectory tree;
  const std::string root = tree.path(), folder = makeSyncFolder(root),
                    manifest = folder + "/manifest.json";
};

enum class Access { readFolder, readManifest, readManifestWriteFolder };

class WriteBlocks : public PosixPlatformTest, public ::testing::WithParamInterface<Access> {};

TEST_P(WriteBlocks, UntilTheWriterReleases) {
  const std::string marker = root + "/released";
  Child writer([&](Child& self) {
    PosixPlatform().coordinateWriting(folder, 0, [&](const std::string&) {
      self.signalReady();
      std::this_thread::sleep_for(300ms);
      writeFile(marker, "");
    });
  });
  ASSERT_TRUE(writer.waitUntilReady());
  PosixPlatform platform(10s);
  bool sawRelease = false;
  auto accessor = [&](const std::string&) { sawRelease = present(marker); };
  std::optional<PlatformError> error;
  if (GetParam() == Access::readFolder) error = platform.coordinateReading(folder, 0, accessor);
  if (GetParam() == Access::readManifest) error = platform.coordinateReading(manifest, 0, accessor);
  if (GetParam() == Access::readManifestWriteFolder) {
    error = platform.coordinateReadingAndWriting(
        manifest, 0, folder, 0, [&](const std::string& reading, const std::string& writing) {
          EXPECT_EQ(reading + writing, manifest + folder);
          accessor(writing);
        });
  }
  EXPECT_FALSE(error);
  EXPECT_TRUE(sawRelease);
}

INSTANTIATE_TEST_SUITE_P(Accesses, WriteBlocks,
                         ::testing::Values(Access::readFolder, Access::readManifest,
                                           Access::readManifestWriteFolder));

TEST_F(PosixPlatformTest, ReadsProceedTogetherAndWritesWaitABoundedTime) {
  Child reader([&](Child& self) { holdCoordination(self, folder, false); });
  ASSERT_TRUE(reader.waitUntilReady());
  PosixPlatform platform(200ms);
  int runs = 0;
  EXPECT_FALSE(platform.coordinateReading(folder, 4, [&](const std::string&) { ++runs; }));
  const auto error = platform.coordinateWriting(folder, 0, [&](const std::string&) { ++runs; });
  EXPECT_EQ(runs, 1);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->description,
            "Timed out after 200 milliseconds waiting for coordinated access to " + folder + ".");
}

// The folder is renamed by a writer once this process has opened it to wait
// for its lock: the access that gets the lock then finds it moved.
class FolderMoved : public PosixPlatformTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(FolderMoved, WhileAnAccessWaits) {
  const std::string moved = root + "/moved";
  Child writer([&](Child& self) {
    PosixPlatform().coordinateWriting(folder, 0, [&](const std::string&) {
      self.signalReady();
      const std::string descriptors = "/proc/" + std::to_string(::getppid()) + "/fd";
      for (int attempt = 0; attempt < 1000; ++attempt) {
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(descriptors, error)) {
          if (fs::read_symlink(entry.path(), error) == folder) {
            fs::rename(folder, moved);
            return;
          }
        }
        std::this_thread::sleep_for(5ms);
      }
    });
  });
  ASSERT_TRUE(writer.waitUntilReady());
  PosixPlatform platform(10s);
  EXPECT_EQ(outcomeOf([&] {
              coordinatedRead(platform, folder + GetParam(), false,
                              [](const std::string&) { ADD_FAILURE() << "body ran"; });
            }),
            "SYNC_FOLDER_MOVED: The sync folder moved during access. Reconnect its new location "
            "before retrying.");
}

INSTANTIATE_TEST_SUITE_P(FolderOrItsManifest, FolderMoved, ::testing::Values("", "/manifest.json"));

TEST_F(PosixPlatformTest, NeitherLinkNorFifoIsFollowedOrBlocks) {
  const std::string link = root + "/link", pipe = folder + "/fifo";
  build(root, with(linkTo("link", "sync"), fifo("sync/fifo")));
  Child writer([&](Child& self) { holdCoordination(self, folder, true); });
  ASSERT_TRUE(writer.waitUntilReady());
  // The folder is locked; the link beside it stands for itself, not for it.
  PosixPlatform platform(200ms);
  std::string handed;
  EXPECT_FALSE(platform.coordinateReading(link, 0, [&](const std::string& p) { handed = p; }));
  EXPECT_EQ(handed, link);
  // A FIFO stands for its folder: the wait is for the folder's lock, never on the FIFO.
  EXPECT_TRUE(platform.coordinateWriting(pipe, 0, [](const std::string&) {}));
}

void setAge(const std::string& path, std::chrono::seconds age) {
  const timespec then{std::time(nullptr) - age.count(), 0};
  const timespec times[2] = {then, then};
  ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

TEST_F(PosixPlatformTest, NewDirectoriesArePrivateWhateverTheUmask) {
  const mode_t previous = ::umask(0277);
  PosixPlatform platform;
  const std::string staging = platform.itemReplacementDirectory(folder);
  platform.createDirectory(root + "/made", 0700);
  ::umask(previous);
  EXPECT_EQ(fs::path(staging).parent_path(), root);  // beside the folder, never in it
  EXPECT_TRUE(fs::path(staging).filename().string().starts_with(".brindell-staging-"));
  EXPECT_EQ(permissions(staging), 0700u);
  EXPECT_EQ(permissions(root + "/made"), 0700u);
}

TEST_F(PosixPlatformTest, OnlyStaleStagingLeftoversAreRemoved) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give a leftover to another user (lchown)";
  const std::string prefix = ".brindell-staging-";
  for (const char* name : {"stale1", "fresh1", "locked", "others", "victim"}) {
    build(root, with(directory(prefix + name), directory(prefix + name + "/inner"),
                     file(prefix + name + "/inner/file", "x")));
  }
  fs::rename(root + "/" + prefix + "victim", root + "/victim");
  build(root, with(linkTo(prefix + "linked", "victim"), directory(prefix + "toolong"),
                   file(prefix + "aFile0", "x")));
  ASSERT_EQ(::lchown((root + "/" + prefix + "others").c_str(), 65534, 65534), 0);  // another user's
  for (const char* name : {"stale1", "locked", "others", "linked", "toolong", "aFile0"}) {
    setAge(root + "/" + prefix + name, 120s);
  }
  setAge(root + "/victim", 120s);
  Child owner([&](Child& self) {
    FileDescriptor locked(::open((root + "/" + prefix + "locked").c_str(), O_RDONLY | O_DIRECTORY));
    ::flock(locked.get(), LOCK_EX);
    self.signalReady();
    self.waitForRelease();
  });
  ASSERT_TRUE(owner.waitUntilReady());

  PosixPlatform platform;  // holds its staging directory's lock while it lives
  const std::string staging = platform.itemReplacementDirectory(folder);
  EXPECT_FALSE(present(root + "/" + prefix + "stale1"));
  for (const char* kept : {"fresh1", "locked", "others", "linked", "toolong", "aFile0"}) {
    EXPECT_TRUE(present(root + "/" + prefix + kept)) << kept;
  }
  EXPECT_TRUE(present(root + "/victim/inner/file"));
  // A live helper's staging directory is locked, so it stays however old.
  setAge(staging, 120s);
  PosixPlatform().itemReplacementDirectory(folder);
  EXPECT_TRUE(present(staging));
}

TEST_F(PosixPlatformTest, RemovalNeverFollowsALink) {
  PosixPlatform platform;
  const std::string staging = platform.itemReplacementDirectory(folder);
  build(staging, with(directory("a"), directory("a/b"), linkTo("a/b/folder", "../sync"),
                      linkTo("a/manifest.json", "../sync/manifest.json")));
  platform.removeItem(staging + "/a/..");
  EXPECT_TRUE(present(staging + "/a/b"));
  platform.removeItem(staging);
  EXPECT_FALSE(present(staging));
  EXPECT_EQ(entryNames(folder), std::vector<std::string>{"manifest.json"});
}

// Hidden entries are listed; a link is neither enumerated nor described as
// what it points to.
TEST_F(PosixPlatformTest, EnumerationAndValuesSeeTheItemsThemselves) {
  build(root, with(file("sync/.DS_Store"), linkTo("link", "sync")));
  PosixPlatform platform;
  std::set<std::string> seen;
  auto list = [&](const std::string& path) {
    return platform.enumerateDirectory(
        path, [&](const std::string& entry) { seen.insert(entry); },
        [](const PlatformError&) { return false; });
  };
  EXPECT_TRUE(list(folder));
  EXPECT_EQ(seen, (std::set<std::string>{folder + "/.DS_Store", manifest}));
  EXPECT_FALSE(list(root + "/link"));
  EXPECT_EQ(platform.resourceValues(root + "/link").isSymbolicLink, true);
  const ResourceValues local = platform.promisedResourceValues(manifest);
  EXPECT_TRUE(local.isRegularFile == true && local.fileSize == 98 && !local.isUbiquitousItem);
  EXPECT_THROW(platform.resourceValues(folder + "/missing"), PlatformError);
}

}  // namespace
}  // namespace brindell::testing
