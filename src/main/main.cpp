// BrindellFileSync: serves one sync-folder request from standard input and
// answers with one JSON line on standard output.

#include <linux/ioprio.h>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <system_error>
#include <thread>

#include "cloud/posix_platform.h"
#include "request/request_cycle.h"

namespace {

constexpr std::string_view usage =
    "Usage: BrindellFileSync < request.json\n"
    "       BrindellFileSync --help | --version\n"
    "\n"
    "Serves one request on a sync folder: reads one JSON object from standard\n"
    "input up to its end, answers with one JSON line on standard output and\n"
    "exits 0 for a success answer, 1 otherwise. See BrindellFileSync(1).\n";

// Returns `status`, or 1 when a text that was asked for could not be written.
int say(std::FILE* stream, std::string_view text, int status) {
  const bool written =
      std::fwrite(text.data(), 1, text.size(), stream) == text.size() && std::fflush(stream) == 0;
  return written || status != 0 ? status : 1;
}

// The application always starts the helper without arguments and with its
// request on a pipe or a file. Anything else is a person at a shell: they get
// help instead of a helper that silently waits for the end of their typing,
// and a wrong call never reaches a sync folder.
int commandLine(int argc, char** argv) {
  const std::string_view argument = argc > 1 ? argv[1] : "";
  if (argc == 2 && argument == "--help") return say(stdout, usage, 0);
  if (argc == 2 && argument == "--version") {
    return say(stdout, "BrindellFileSync " BRINDELL_VERSION "\n", 0);
  }
  // One line on standard error, which is all a wrong call needs.
  constexpr const char* shortUsage =
      "usage: BrindellFileSync < request.json, or BrindellFileSync --help | --version\n";
  if (argc > 1) {
    // After a valid option, the extra argument is the one at fault.
    const bool known = argument == "--help" || argument == "--version";
    std::fprintf(stderr, "BrindellFileSync: unknown argument \"%s\"; %s", argv[known ? 2 : 1],
                 shortUsage);
  } else {
    std::fprintf(stderr,
                 "BrindellFileSync: the request is read from standard input, not a "
                 "terminal; %s",
                 shortUsage);
  }
  return 2;
}

// The helper works on behalf of an application in the background; it should
// never compete with what the user is doing. Failures to lower are harmless.
void lowerPriority() {
  const auto thread = static_cast<id_t>(::syscall(SYS_gettid));
  ::setpriority(PRIO_PROCESS, thread, 10);
  ::syscall(SYS_ioprio_set, IOPRIO_WHO_PROCESS, thread, IOPRIO_PRIO_VALUE(IOPRIO_CLASS_BE, 7));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 || ::isatty(STDIN_FILENO)) return commandLine(argc, argv);
  // Requests and files of several MiB pass through buffers that grow and are
  // dropped; serving them from mmap returns each to the system when freed,
  // where the heap would keep the dead ones resident until the process ends.
  ::mallopt(M_MMAP_THRESHOLD, 256 * 1024);
  // Everything the helper makes is private and must stay usable by its own
  // user: created 0700 or 0600, it keeps exactly those modes only under a
  // mask that takes nothing from the owner. A caller's mask such as 0477
  // would leave a staging directory that its maker cannot even list.
  ::umask(077);
  // A reader that closed standard output must not kill the helper: the write
  // fails and the exit status says so.
  std::signal(SIGPIPE, SIG_IGN);
  static brindell::PosixPlatform platform;
  // The request is served on a thread of its own, as the platform's
  // background queue would serve it elsewhere: its lowered priorities are
  // the worker's alone (Linux sets them per thread), and the worker ends the
  // process itself with std::exit once the answer is out, so nothing waits
  // for the main thread, which only parks.
  std::thread worker;
  try {
    worker = std::thread([] {
      lowerPriority();
      std::exit(brindell::serveRequest(platform, STDIN_FILENO, STDOUT_FILENO));
    });
  } catch (const std::system_error&) {
    // No thread to spare (a process limit, no memory for its stack): the
    // caller still gets its answer, served here instead of on a worker.
    lowerPriority();
    return brindell::serveRequest(platform, STDIN_FILENO, STDOUT_FILENO);
  }
  // The worker always ends the process; the main thread only waits.
  worker.join();
  return 1;
}
