#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "system/file_system.h"

namespace brindell::testing {

// The real file system with faults put in front of it, in place of it for as
// long as it lives. Each call is counted by its name; a fault fails one call
// of a name (the nth, or every one) with an error.
class FaultyFileSystem final : public FileSystem {
 public:
  // Succeeds having done nothing: a read at the end, a write that takes no byte.
  static constexpr int nothing = -1;

  struct Fault {
    std::string call;
    int error;
    int nth = 0;    // 0: every call of that name
    int flags = 0;  // open's flags it must have
  };

  FaultyFileSystem() : previous_(replaceFileSystem(this)) {}
  ~FaultyFileSystem() override { replaceFileSystem(previous_); }

  std::vector<Fault> faults;
  std::map<std::string, int> calls;
  // Told of every call, with the item it names and, for open, its flags.
  std::function<void(const std::string& call, const std::string& item, int flags)> observe;

  int open(int d, const std::string& name, int flags, mode_t mode, FileDescriptor& out) override {
    return fault(
        "open", name, [&] { return real().open(d, name, flags, mode, out); }, flags);
  }
  int openDirectoryResolved(const std::string& path, FileDescriptor& out) override {
    return fault("openDirectoryResolved", path,
                 [&] { return real().openDirectoryResolved(path, out); });
  }
  int status(int d, const std::string& name, struct stat& out) override {
    return fault("status", name, [&] { return real().status(d, name, out); });
  }
  int read(int file, char* buffer, std::size_t size, std::size_t& count) override {
    count = 0;
    return fault("read", "", [&] { return real().read(file, buffer, size, count); });
  }
  int write(int file, const iovec* pieces, int pieceCount, std::size_t& count) override {
    count = 0;
    return fault("write", "", [&] { return real().write(file, pieces, pieceCount, count); });
  }
  int wait(int stream, short events) override {
    return fault("wait", "", [&] { return real().wait(stream, events); });
  }
  int flush(int file) override {
    return fault("flush", "", [&] { return real().flush(file); });
  }
  int makeDirectory(int d, const std::string& name, mode_t mode) override {
    return fault("makeDirectory", name, [&] { return real().makeDirectory(d, name, mode); });
  }
  int remove(int d, const std::string& name, bool isDirectory) override {
    return fault("remove", name, [&] { return real().remove(d, name, isDirectory); });
  }
  int rename(int fromDirectory, const std::string& from, int toDirectory, const std::string& to,
             bool exclusive) override {
    return fault(exclusive ? "renameExclusively" : "rename", to,
                 [&] { return real().rename(fromDirectory, from, toDirectory, to, exclusive); });
  }
  int linkDescriptor(int file, int toDirectory, const std::string& to) override {
    return fault("linkDescriptor", to,
                 [&] { return real().linkDescriptor(file, toDirectory, to); });
  }
  int lock(int file, int operation) override {
    return fault("lock", "", [&] { return real().lock(file, operation); });
  }
  int duplicate(int file, FileDescriptor& copy) override {
    return fault("duplicate", "", [&] { return real().duplicate(file, copy); });
  }
  int readAttribute(int file, const char* name, std::size_t maximumSize,
                    std::string& value) override {
    return fault("readAttribute", name,
                 [&] { return real().readAttribute(file, name, maximumSize, value); });
  }
  int writeAttribute(int file, const char* name, std::string_view value) override {
    return fault("writeAttribute", name, [&] { return real().writeAttribute(file, name, value); });
  }
  int descriptorTarget(int file, std::string& path) override {
    return fault("descriptorTarget", "", [&] { return real().descriptorTarget(file, path); });
  }
  int descriptorReachable(int file) override {
    return fault("descriptorReachable", "", [&] { return real().descriptorReachable(file); });
  }
  int readEntries(FileDescriptor directory, long& position,
                  const std::function<bool(std::string_view name)>& visit) override {
    return fault("readEntries", "",
                 [&] { return real().readEntries(std::move(directory), position, visit); });
  }

 private:
  static FileSystem& real() { return posixFileSystem(); }

  int fault(const std::string& call, const std::string& item, const std::function<int()>& go,
            int flags = 0) {
    const int number = ++calls[call];
    if (observe) observe(call, item, flags);
    for (const Fault& planned : faults) {
      if (planned.call == call && (planned.nth == 0 || planned.nth == number) &&
          (planned.flags & flags) == planned.flags) {
        return planned.error == nothing ? 0 : planned.error;
      }
    }
    return go();
  }

  FileSystem* previous_;
};

}  // namespace brindell::testing
