#include "cloud/posix_platform.h"

#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <thread>

#include "cloud/coordinated_access.h"
#include "fileio/file_descriptor.h"

namespace brindell {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

bool present(const std::string& path) {
  struct stat status;
  return ::lstat(path.c_str(), &status) == 0;
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
  void SetUp() override {
    char pattern[] = "/tmp/brindell-posix-XXXXXX";
    root = fs::canonical(::mkdtemp(pattern)).string();
    folder = root + "/Brindell-x.brindell-sync";
    fs::create_directory(folder);
  }
  void TearDown() override { fs::remove_all(root); }

  std::string root, folder;
};

enum class Access { readFolder, readManifest, readManifestWriteFolder };

class WriteBlocks : public PosixPlatformTest, public ::testing::WithParamInterface<Access> {};

TEST_P(WriteBlocks, UntilTheWriterReleases) {
  const std::string marker = root + "/released";
  Child writer([&](Child& self) {
    PosixPlatform platform;
    platform.coordinateWriting(folder, 0, [&](const std::string&) {
      self.signalReady();
      std::this_thread::sleep_for(300ms);
      std::ofstream{marker};
    });
  });
  ASSERT_TRUE(writer.waitUntilReady());
  PosixPlatform platform(10s);
  const std::string manifest = folder + "/manifest.json";
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

// Renames the folder once the parent has opened it, that is, while it waits.
void renameWhileParentWaits(Child& self, const std::string& from, const std::string& to) {
  PosixPlatform platform;
  platform.coordinateWriting(from, 0, [&](const std::string&) {
    self.signalReady();
    const std::string descriptors = "/proc/" + std::to_string(::getppid()) + "/fd";
    for (int attempt = 0; attempt < 1000; ++attempt) {
      std::error_code error;
      for (const auto& entry : fs::directory_iterator(descriptors, error)) {
        if (fs::read_symlink(entry.path(), error) == from) {
          ::rename(from.c_str(), to.c_str());
          return;
        }
      }
      std::this_thread::sleep_for(5ms);
    }
  });
}

TEST_F(PosixPlatformTest, FolderMovedWhileWaitingIsHandedItsNewPath) {
  const std::string moved = root + "/moved";
  {
    Child writer([&](Child& self) { renameWhileParentWaits(self, folder, moved); });
    ASSERT_TRUE(writer.waitUntilReady());
    PosixPlatform platform(10s);
    std::string handed;
    EXPECT_FALSE(platform.coordinateReading(folder + "/manifest.json", 0,
                                            [&](const std::string& path) { handed = path; }));
    EXPECT_EQ(handed, moved + "/manifest.json");
  }
  ASSERT_EQ(::rename(moved.c_str(), folder.c_str()), 0);
  Child writer([&](Child& self) { renameWhileParentWaits(self, folder, moved); });
  ASSERT_TRUE(writer.waitUntilReady());
  PosixPlatform platform(10s);
  try {
    coordinatedRead(platform, folder, true, [&](const std::string&) { FAIL() << "body ran"; });
    FAIL();
  } catch (const SyncFailure& failure) {
    EXPECT_EQ(failure.code, "SYNC_FOLDER_MOVED");
  }
}

TEST_F(PosixPlatformTest, NeitherLinkNorFifoIsFollowedOrBlocks) {
  const std::string link = root + "/link", fifo = folder + "/manifest.json";
  fs::create_directory_symlink(folder, link);
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  Child writer([&](Child& self) { holdCoordination(self, folder, true); });
  ASSERT_TRUE(writer.waitUntilReady());
  // The folder is locked; the link beside it stands for itself, not for it.
  PosixPlatform platform(200ms);
  std::string handed;
  EXPECT_FALSE(platform.coordinateReading(link, 0, [&](const std::string& p) { handed = p; }));
  EXPECT_EQ(handed, link);
  // A FIFO stands for its folder: the wait is for the folder's lock, never on the FIFO.
  EXPECT_TRUE(platform.coordinateWriting(fifo, 0, [](const std::string&) {}));
}

void setAge(const std::string& path, std::chrono::seconds age) {
  const timespec then{std::time(nullptr) - age.count(), 0};
  const timespec times[2] = {then, then};
  ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

TEST_F(PosixPlatformTest, StagingDirectoryIsPrivateAndBesideTheFolder) {
  const mode_t previous = ::umask(0277);
  PosixPlatform platform;
  const std::string staging = platform.itemReplacementDirectory(folder);
  ::umask(previous);
  EXPECT_EQ(fs::path(staging).parent_path(), root);
  EXPECT_EQ(fs::path(staging).filename().string().rfind(".brindell-staging-", 0), 0u);
  struct stat status;
  ASSERT_EQ(::lstat(staging.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0700u);
}

TEST_F(PosixPlatformTest, OnlyStaleStagingLeftoversAreRemoved) {
  const std::string prefix = root + "/.brindell-staging-", victim = root + "/victim";
  for (const char* name : {"stale1", "fresh1", "locked", "others", "victim"}) {
    fs::create_directories(prefix + name + "/inner");
    std::ofstream(prefix + name + "/inner/file") << "x";
  }
  fs::rename(prefix + "victim", victim);
  fs::create_directory_symlink(victim, prefix + "linked");
  fs::create_directory(prefix + "toolong");
  std::ofstream(prefix + "aFile0") << "x";
  ASSERT_EQ(::lchown((prefix + "others").c_str(), 65534, 65534), 0);  // another user's
  for (const char* name : {"stale1", "locked", "others", "linked", "toolong", "aFile0"}) {
    setAge(prefix + name, 120s);
  }
  setAge(victim, 120s);
  Child owner([&](Child& self) {
    FileDescriptor locked(::open((prefix + "locked").c_str(), O_RDONLY | O_DIRECTORY));
    ::flock(locked.get(), LOCK_EX);
    self.signalReady();
    self.waitForRelease();
  });
  ASSERT_TRUE(owner.waitUntilReady());

  PosixPlatform platform;
  const std::string staging = platform.itemReplacementDirectory(folder);
  EXPECT_FALSE(present(prefix + "stale1"));
  for (const char* kept : {"fresh1", "locked", "others", "linked", "toolong", "aFile0"}) {
    EXPECT_TRUE(present(prefix + kept)) << kept;
  }
  EXPECT_TRUE(present(victim + "/inner/file"));
  // A live helper's staging directory is locked, so it stays however old.
  setAge(staging, 120s);
  PosixPlatform().itemReplacementDirectory(folder);
  EXPECT_TRUE(present(staging));
}

TEST_F(PosixPlatformTest, RemovalNeverFollowsALink) {
  PosixPlatform platform;
  const std::string staging = platform.itemReplacementDirectory(folder);
  std::ofstream(folder + "/manifest.json") << "{}";
  fs::create_directories(staging + "/a/b");
  fs::create_directory_symlink(folder, staging + "/a/b/folder");
  fs::create_symlink(folder + "/manifest.json", staging + "/a/manifest.json");
  platform.removeItem(staging + "/a/..");
  EXPECT_TRUE(present(staging + "/a/b"));
  platform.removeItem(staging);
  EXPECT_FALSE(present(staging));
  EXPECT_TRUE(present(folder + "/manifest.json"));
}

TEST_F(PosixPlatformTest, EnumerationListsHiddenEntriesOfRealFoldersOnly) {
  for (const char* name : {".DS_Store", ".manifest.json.icloud", "manifest.json"}) {
    std::ofstream(folder + "/" + name) << "x";
  }
  fs::create_directory_symlink(folder, root + "/link");
  PosixPlatform platform;
  std::set<std::string> seen;
  auto list = [&](const std::string& path) {
    return platform.enumerateDirectory(
        path, [&](const std::string& entry) { seen.insert(entry); },
        [](const PlatformError&) { return false; });
  };
  EXPECT_TRUE(list(folder));
  EXPECT_EQ(seen, (std::set<std::string>{folder + "/.DS_Store", folder + "/.manifest.json.icloud",
                                         folder + "/manifest.json"}));
  EXPECT_FALSE(list(root + "/missing"));
  EXPECT_FALSE(list(root + "/link"));
}

TEST_F(PosixPlatformTest, LocalValuesAndRefusals) {
  PosixPlatform platform;
  std::ofstream(folder + "/manifest.json") << "12345";
  const ResourceValues file = platform.promisedResourceValues(folder + "/manifest.json");
  EXPECT_TRUE(file.isRegularFile == true && file.fileSize == 5 && !file.isUbiquitousItem);
  fs::create_symlink(folder, root + "/link");
  EXPECT_EQ(platform.resourceValues(root + "/link").isSymbolicLink, true);
  EXPECT_THROW(platform.resourceValues(folder + "/missing"), PlatformError);
  try {
    platform.startDownloading(folder + "/manifest.json");
    FAIL();
  } catch (const PlatformError& error) {
    EXPECT_EQ(error.description,
              "manifest.json is not in a cloud drive, so it cannot be downloaded.");
  }
  const mode_t previous = ::umask(0077);
  platform.createDirectory(root + "/made", 0750);
  ::umask(previous);
  struct stat status;
  ASSERT_EQ(::lstat((root + "/made").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0750u);
  try {
    platform.createDirectory(root + "/made", 0700);
    FAIL();
  } catch (const PlatformError& error) {
    EXPECT_EQ(error.description, "Cannot create directory \u201Cmade\u201D: File exists.");
  }
}

}  // namespace
}  // namespace brindell
