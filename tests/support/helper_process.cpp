#include "support/helper_process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "base/file_descriptor.h"
#include "json/json.h"

extern char** environ;

namespace brindell::testing {

HelperRun runHelper(std::string_view request) {
  return runCommand({BRINDELL_EXECUTABLE}, request);
}

HelperRun runCommand(const std::vector<std::string>& command, std::string_view request) {
  // Files rather than pipes: nothing blocks whatever the sizes, and the
  // shared offset of standard input tells afterwards how much was read.
  TemporaryDirectory scratch;
  const std::string input = scratch.path() + "/in", output = scratch.path() + "/out",
                    errors = scratch.path() + "/err";
  writeFile(input, request);
  // Close-on-exec, so that helpers started at the same time by other
  // threads do not inherit it; dup2 clears the flag in this child only.
  const FileDescriptor in(::open(input.c_str(), O_RDONLY | O_CLOEXEC));
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in.get(), 0);
  posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, errors.c_str(), O_WRONLY | O_CREAT, 0600);
  std::vector<char*> argv;
  for (const std::string& argument : command) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  pid_t child;
  const int spawned = ::posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) throw std::runtime_error("cannot start " + command[0]);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return {readFile(output), readFile(errors),
          WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status),
          static_cast<std::size_t>(::lseek(in.get(), 0, SEEK_CUR))};
}

std::string failureLine(std::string_view code, std::string_view message) {
  JsonValue envelope = JsonValue::Object{
      {"ok", false},
      {"error", JsonValue::Object{{"code", std::string(code)}, {"message", std::string(message)}}}};
  return canonicalJson(envelope) + "\n";
}

TemporaryDirectory::TemporaryDirectory() {
  std::string pattern = "/tmp/brindell-test-XXXXXX";
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = std::filesystem::canonical(pattern).string();
}

TemporaryDirectory::~TemporaryDirectory() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void writeFile(const std::string& path, std::string_view bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!file) throw std::runtime_error("cannot write " + path);
}

std::string readFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << file.rdbuf();
  return bytes.str();
}

std::string jsonString(std::string_view text) {
  return canonicalJson(JsonValue(std::string(text)));
}

}  // namespace brindell::testing
