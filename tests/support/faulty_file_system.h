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
    return pass<&FileSystem::open>("open", name, flags, d, name, flags, mode, out);
  }
  int openDirectoryResolved(const std::string& path, FileDescriptor& out) override {
    return pass<&FileSystem::openDirectoryResolved>("openDirectoryResolved", path, 0, path, out);
  }
  int status(int d, const std::string& name, struct stat& out) override {
    return pass<&FileSystem::status>("status", name, 0, d, name, out);
  }
  int read(int file, char* buffer, std::size_t size, std::size_t& count) override {
    count = 0;
    return pass<&FileSystem::read>("read", "", 0, file, buffer, size, count);
  }
  int write(int file, const iovec* pieces, int pieceCount, std::size_t& count) override {
    count = 0;
    return pass<&FileSystem::write>("write", "", 0, file, pieces, pieceCount, count);
  }
  int wait(int stream, short events) override {
    return pass<&FileSystem::wait>("wait", "", 0, stream, events);
  }
  int flush(int file) override { return pass<&FileSystem::flush>("flush", "", 0, file); }
  int makeDirectory(int d, const std::string& name, mode_t mode) override {
    return pass<&FileSystem::makeDirectory>("makeDirectory", name, 0, d, name, mode);
  }
  int remove(int d, const std::string& name, bool isDirectory) override {
    return pass<&FileSystem::remove>("remove", name, 0, d, name, isDirectory);
  }
  int rename(int fromDirectory, const std::string& from, int toDirectory, const std::string& to,
             bool exclusive) override {
    return pass<&FileSystem::rename>(exclusive ? "renameExclusively" : "rename", to, 0,
                                     fromDirectory, from, toDirectory, to, exclusive);
  }
  int linkDescriptor(int file, int toDirectory, const std::string& to) override {
    return pass<&FileSystem::linkDescriptor>("linkDescriptor", to, 0, file, toDirectory, to);
  }
  int lock(int file, int operation) override {
    return pass<&FileSystem::lock>("lock", "", 0, file, operation);
  }
  int duplicate(int file, FileDescriptor& copy) override {
    return pass<&FileSystem::duplicate>("duplicate", "", 0, file, copy);
  }
  int readAttribute(int file, const char* name, std::size_t maximumSize,
                    std::string& value) override {
    return pass<&FileSystem::readAttribute>("readAttribute", name, 0, file, name, maximumSize,
                                            value);
  }
  int writeAttribute(int file, const char* name, std::string_view value) override {
    return pass<&FileSystem::writeAttribute>("writeAttribute", name, 0, file, name, value);
  }
  int descriptorTarget(int file, std::string& path) override {
    return pass<&FileSystem::descriptorTarget>("descriptorTarget", "", 0, file, path);
  }
  int descriptorReachable(int file) override {
    return pass<&FileSystem::descriptorReachable>("descriptorReachable", "", 0, file);
  }
  int readEntries(FileDescriptor directory, long& position,
                  const std::function<bool(std::string_view name)>& visit) override {
    return pass<&FileSystem::readEntries>("readEntries", "", 0, std::move(directory), position,
                                          visit);
  }

 private:
  // Counts the call, tells the observer, then fails it as planned or passes it on.
  template <auto method, typename... Args>
  int pass(const std::string& call, const std::string& item, int flags, Args&&... args) {
    const int number = ++calls[call];
    if (observe) observe(call, item, flags);
    for (const Fault& planned : faults) {
      if (planned.call == call && (planned.nth == 0 || planned.nth == number) &&
          (planned.flags & flags) == planned.flags) {
        return planned.error == nothing ? 0 : planned.error;
      }
    }
    return (posixFileSystem().*method)(std::forward<Args>(args)...);
  }

  FileSystem* previous_;
};

}  // namespace brindell::testing
