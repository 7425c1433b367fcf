#include "support/helper_process.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "fileio/json.h"

extern char** environ;

namespace brindell::testing {

HelperRun runHelper(std::string_view request) {
  return runCommand({BRINDELL_EXECUTABLE}, request);
}

HelperRun runCommand(const std::vector<std::string>& command, std::string_view request) {
  int in[2], out[2], err[2];
  if (::pipe2(in, O_CLOEXEC) || ::pipe2(out, O_CLOEXEC) || ::pipe2(err, O_CLOEXEC)) {
    throw std::runtime_error("pipe failed");
  }
  // A child that stops reading early must not kill the test with SIGPIPE;
  // the child itself starts with the default disposition.
  static const bool pipeSignalIgnored = std::signal(SIGPIPE, SIG_IGN) != SIG_ERR;
  (void)pipeSignalIgnored;
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t pipeSignal;
  sigemptyset(&pipeSignal);
  sigaddset(&pipeSignal, SIGPIPE);
  posix_spawnattr_setsigdefault(&attributes, &pipeSignal);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  std::vector<char*> argv;
  for (const std::string& argument : command) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  pid_t child;
  if (posix_spawnp(&child, argv[0], &actions, &attributes, argv.data(), environ) != 0) {
    throw std::runtime_error("spawn failed");
  }
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);

  // Feed the request and drain both outputs together, so neither side can
  // block the other whatever the sizes. The helper may stop reading early
  // (an oversized request), which ends the feeding.
  HelperRun run;
  std::size_t fed = 0;
  int inFd = in[1];
  if (request.empty()) {
    ::close(inFd);
    inFd = -1;
  }
  bool outOpen = true, errOpen = true;
  char buffer[65536];
  while (outOpen || errOpen) {
    pollfd fds[3] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {inFd, POLLOUT, 0}};
    if (!outOpen) fds[0].fd = -1;
    if (!errOpen) fds[1].fd = -1;
    ::poll(fds, 3, -1);
    if (inFd >= 0 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
      const ssize_t n =
          ::write(inFd, request.data() + fed, std::min<std::size_t>(request.size() - fed, 65536));
      if (n > 0) fed += static_cast<std::size_t>(n);
      if (n < 0 || fed == request.size()) {
        ::close(inFd);
        inFd = -1;
      }
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd >= 0 && (fds[i].revents & (POLLIN | POLLHUP | POLLERR))) {
        const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
        if (n > 0) {
          (i == 0 ? run.output : run.errors).append(buffer, static_cast<std::size_t>(n));
        } else {
          (i == 0 ? outOpen : errOpen) = false;
        }
      }
    }
  }
  if (inFd >= 0) ::close(inFd);
  ::close(out[0]);
  ::close(err[0]);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return run;
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
  // Tests take permissions away; give them back so everything can go.
  for (auto it = std::filesystem::recursive_directory_iterator(
           path_, std::filesystem::directory_options::skip_permission_denied, ignored);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
    if (it->is_directory(ignored) && !it->is_symlink(ignored)) {
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ignored);
    }
  }
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
