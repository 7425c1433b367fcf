// BrindellFileSync: serves one sync-folder request from standard input and
// answers with one JSON line on standard output.

#include <linux/ioprio.h>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <system_error>
#include <thread>

#include "cloud/posix_platform.h"
#include "request/request_cycle.h"

namespace {

// The helper works on behalf of an application in the background; it should
// never compete with what the user is doing. Failures to lower are harmless.
void lowerPriority() {
  const auto thread = static_cast<id_t>(::syscall(SYS_gettid));
  ::setpriority(PRIO_PROCESS, thread, 10);
  ::syscall(SYS_ioprio_set, IOPRIO_WHO_PROCESS, thread, IOPRIO_PRIO_VALUE(IOPRIO_CLASS_BE, 7));
}

}  // namespace

int main() {
  // Requests and files of several MiB pass through buffers that grow and are
  // dropped; serving them from mmap returns each to the system when freed,
  // where the heap would keep the dead ones resident until the process ends.
  ::mallopt(M_MMAP_THRESHOLD, 256 * 1024);
  // A reader that closed standard output must not kill the helper: the write
  // fails and the exit status says so.
  std::signal(SIGPIPE, SIG_IGN);
  static brindell::PosixPlatform platform;
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
