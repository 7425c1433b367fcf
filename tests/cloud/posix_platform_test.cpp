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

#include "base/file_descriptor.h"
#include "fileio/staged_write.h"
#include "folder/coordinated_access.h"
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
  const Directory directory = openDirectory(path);
  auto hold = [&](const std::string&) {
    self.signalReady();
    self.waitForRelease();
  };
  exclusive ? platform.coordinateWriting(directory, "", 0, hold)
            : platform.coordinateReading(directory, "", 0, hold);
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
    PosixPlatform().coordinateWriting(openDirectory(folder), "", 0, [&](const std::string&) {
      self.signalReady();
      std::this_thread::sleep_for(300ms);
      writeFile(marker, "");
    });
  });
  ASSERT_TRUE(writer.waitUntilReady());
  PosixPlatform platform(10s);
  const Directory held = openDirectory(folder);
  bool sawRelease = false;
  auto accessor = [&](const std::string&) { sawRelease = present(marker); };
  if (GetParam() == Access::readFolder) platform.coordinateReading(held, "", 0, accessor);
  if (GetParam() == Access::readManifest) {
    platform.coordinateReading(held, "manifest.json", 0, accessor);
  }
  if (GetParam() == Access::readManifestWriteFolder) {
    platform.coordinateReadingAndWriting(
        held, "manifest.json", 0, 0, [&](const std::string& reading, const std::string& writing) {
          EXPECT_EQ(reading + writing, manifest + folder);
          accessor(writing);
        });
  }
  EXPECT_TRUE(sawRelease);
}

INSTANTIATE_TEST_SUITE_P(Accesses, WriteBlocks,
                         ::testing::Values(Access::readFolder, Access::readManifest,
                                           Access::readManifestWriteFolder));

// Reads share; a write waits, and every wait of one request draws on one
// bound, however many coordinations it makes.
TEST_F(PosixPlatformTest, ReadsProceedTogetherAndWaitsShareOneBound) {
  Child reader([&](Child& self) { holdCoordination(self, folder, false); });
  ASSERT_TRUE(reader.waitUntilReady());
  PosixPlatform platform(1s);
  const Directory held = openDirectory(folder);
  int runs = 0;
  platform.coordinateReading(held, "", 4, [&](const std::string&) { ++runs; });
  const auto started = std::chrono::steady_clock::now();
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(outcomeOf([&] {
                platform.coordinateWriting(held, "", 0, [&](const std::string&) { ++runs; });
              }),
              "platform: Another process is holding \u201Csync\u201D; gave up after waiting 1 "
              "second.");
  }
  // Three waits of their own would take three seconds.
  EXPECT_LT(std::chrono::steady_clock::now() - started, 2500ms);
  EXPECT_EQ(runs, 1);
}

// The folder is renamed by a writer once this process holds it and waits for
// its lock: the access that gets the lock then finds it moved.
class FolderMoved : public PosixPlatformTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(FolderMoved, WhileAnAccessWaits) {
  const std::string moved = root + "/moved";
  const Directory held = openDirectory(folder);
  Child writer([&](Child& self) {
    PosixPlatform().coordinateWriting(openDirectory(folder), "", 0, [&](const std::string&) {
      self.signalReady();
      std::this_thread::sleep_for(100ms);
      fs::rename(folder, moved);
    });
  });
  ASSERT_TRUE(writer.waitUntilReady());
  PosixPlatform platform(10s);
  EXPECT_EQ(outcomeOf([&] {
              coordinatedRead(platform, held, GetParam(), false,
                              [] { ADD_FAILURE() << "body ran"; });
            }),
            "SYNC_FOLDER_MOVED: The sync folder moved during access. Reconnect its new location "
            "before retrying.");
}

INSTANTIATE_TEST_SUITE_P(FolderOrItsManifest, FolderMoved, ::testing::Values("", "manifest.json"));

void setAge(const std::string& path, std::chrono::seconds age) {
  const timespec then{std::time(nullptr) - age.count(), 0};
  const timespec times[2] = {then, then};
  ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

// Only the exact shapes a killed helper leaves are removed; a directory of the
// same name that holds anything else, another user's, a locked one or a young
// one is left whole.
TEST_F(PosixPlatformTest, OnlyStaleLeftoversOfOurOwnShapeAreRemoved) {
  const std::string prefix = ".brindell-staging-", at = root + "/" + prefix;
  // Private, as the helper makes them.
  const mode_t previous = ::umask(077);
  const std::vector<std::string> removed = {"empty0", "file00", "fold00", "fman00"};
  const std::vector<std::string> kept = {"extra0", "deep00", "other0",  "locked",
                                         "young0", "linked", "toolong", "plainF"};
  for (const std::string& name : removed) build(root, with(directory(prefix + name)));
  for (const std::string& name : {"extra0", "deep00", "other0", "locked", "young0", "toolong"}) {
    build(root, with(directory(prefix + name)));
  }
  const std::string inner = "/" + folderName;
  build(root,
        with(file(prefix + "file00/history.json", "{}"), directory(prefix + "fold00" + inner),
             directory(prefix + "fman00" + inner),
             file(prefix + "fman00" + inner + "/manifest.json", manifestText()),
             file(prefix + "extra0/history.json", "{}"), file(prefix + "extra0/notes"),
             directory(prefix + "deep00" + inner), directory(prefix + "deep00" + inner + "/sub"),
             file(prefix + "deep00" + inner + "/sub/manifest.json"), directory(prefix + "other0/x"),
             linkTo(prefix + "linked", "sync"), file(prefix + "plainF")));
  ::umask(previous);
  if (::geteuid() == 0) ASSERT_EQ(::lchown((at + "other0").c_str(), 65534, 65534), 0);
  for (const std::string& name : removed) setAge(at + name, 120s);
  for (const std::string& name : kept) {
    if (name != "young0") setAge(at + name, 120s);
  }
  Child owner([&](Child& self) {
    FileDescriptor locked(::open((at + "locked").c_str(), O_RDONLY | O_DIRECTORY));
    ::flock(locked.get(), LOCK_EX);
    self.signalReady();
    self.waitForRelease();
  });
  ASSERT_TRUE(owner.waitUntilReady());

  removeStaleStagingDirectories(openDirectory(root));
  for (const std::string& name : removed) EXPECT_FALSE(present(at + name)) << name;
  for (const std::string& name : kept) EXPECT_TRUE(present(at + name)) << name;
  EXPECT_TRUE(present(at + "extra0/notes") && present(at + "other0/x"));
  EXPECT_TRUE(present(at + "deep00" + inner + "/sub/manifest.json"));
  EXPECT_EQ(entryNames(folder), std::vector<std::string>{"manifest.json"});
}

// Hidden entries are listed; a link is described as itself.
TEST_F(PosixPlatformTest, EnumerationAndValuesSeeTheItemsThemselves) {
  build(root, with(file("sync/.DS_Store"), linkTo("sync/link", "manifest.json")));
  PosixPlatform platform;
  const Directory held = openDirectory(folder);
  std::set<std::string> seen;
  EXPECT_TRUE(
      platform.enumerateDirectory(held, [&](const std::string& entry) { seen.insert(entry); }));
  EXPECT_EQ(seen, (std::set<std::string>{".DS_Store", "manifest.json", "link"}));
  EXPECT_EQ(platform.resourceValues(held, "link").isSymbolicLink, true);
  const ResourceValues local = platform.promisedResourceValues(held, "manifest.json");
  EXPECT_TRUE(local.isRegularFile == true && local.fileSize == 98 && !local.isUbiquitousItem);
  EXPECT_EQ(platform.resourceValues(held, "").isDirectory, true);
  EXPECT_THROW(platform.resourceValues(held, "missing"), PlatformError);
}

}  // namespace
}  // namespace brindell::testing
