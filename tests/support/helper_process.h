#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace brindell::testing {

// One run of the real executable.
struct HelperRun {
  std::string output;        // everything written to standard output
  std::string errors;        // everything written to standard error (must stay empty)
  int status = -1;           // exit status, or 128 + signal
  std::size_t consumed = 0;  // bytes of the request it read
};

// Runs the helper with `request` on standard input.
HelperRun runHelper(std::string_view request);

// Runs `command` (its first element looked up in PATH) the same way, for
// instance the helper under a tracer.
HelperRun runCommand(const std::vector<std::string>& command, std::string_view request);

// The exact bytes of a failure answer.
std::string failureLine(std::string_view code, std::string_view message);

// A fresh directory under /tmp (its real path, free of links), removed with
// everything in it when the object goes away.
class TemporaryDirectory {
 public:
  TemporaryDirectory();
  TemporaryDirectory(const TemporaryDirectory&) = delete;
  TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
  ~TemporaryDirectory();
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Small file helpers for building test trees.
void writeFile(const std::string& path, std::string_view bytes);
std::string readFile(const std::string& path);

// `text` as a JSON string literal.
std::string jsonString(std::string_view text);

}  // namespace brindell::testing
