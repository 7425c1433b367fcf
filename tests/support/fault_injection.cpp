#include "support/fault_injection.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>

#include <gtest/gtest.h>

namespace brindell::testing {
namespace {

// LeakSanitizer cannot work under a tracer and would fail the run at exit.
std::string withoutLeakCheck() {
  const char* options = std::getenv("ASAN_OPTIONS");
  return std::string("ASAN_OPTIONS=") + (options ? std::string(options) + ":" : "") +
         "detect_leaks=0";
}

// The number of the call within its thread, and its trace line.
std::pair<int, std::string> findCall(const std::string& request, const FailingCall& call) {
  TemporaryDirectory scratch;
  const std::string trace = scratch.path() + "/trace";
  runCommand({"strace", "-f", "-qq", "-E", withoutLeakCheck(), "-e", "signal=none", "-e",
              std::string("trace=") + call.syscall, "-o", trace, BRINDELL_EXECUTABLE},
             request);
  // Lines read "<tid> <syscall>(...) = <result>"; a call interrupted by
  // another thread's output goes on in a "<... resumed>" line, not a call.
  std::map<long, int> counts;
  std::vector<std::pair<int, std::string>> matches;
  std::istringstream lines(readFile(trace));
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    long thread = 0;
    std::string rest;
    if (!(fields >> thread) || !std::getline(fields >> std::ws, rest)) continue;
    if (!rest.starts_with(std::string(call.syscall) + "(")) continue;
    const int number = ++counts[thread];
    if (rest.find(call.needle) != std::string::npos) matches.emplace_back(number, line);
  }
  if (call.nth < 0 && !matches.empty()) return matches.back();
  if (call.nth > 0 && static_cast<std::size_t>(call.nth) <= matches.size()) {
    return matches[call.nth - 1];
  }
  return {0, ""};
}

}  // namespace

bool faultInjectionAvailable() {
  static const bool available =
      runCommand({"strace", "-f", "-o", "/dev/null", "-e", "trace=none", "true"}, "").status == 0;
  return available;
}

HelperRun runWithFailingCall(const Scenario& scenario, const std::string& root,
                             const FailingCall& call) {
  TemporaryDirectory rehearsal;
  const auto [number, line] = findCall(scenario(rehearsal.path()), call);
  if (number == 0 || line.find("write(1,") != std::string::npos) {
    ADD_FAILURE() << "no such call traced (or it is the answer itself): " << line;
    return {};
  }
  return runCommand({"strace", "-f", "-qq", "-E", withoutLeakCheck(), "-o", "/dev/null", "-e",
                     std::string("inject=") + call.syscall + ":error=" + call.error +
                         ":when=" + std::to_string(number),
                     BRINDELL_EXECUTABLE},
                    scenario(root));
}

std::string failedCallLine(const std::string& prefix, const char* error) {
  const int number = std::strcmp(error, "EIO") == 0 ? EIO : ENOSPC;
  return failureLine(
      "SYNC_IO", prefix + ": " + std::strerror(number) + ". Local workspace data is unchanged.");
}

}  // namespace brindell::testing
