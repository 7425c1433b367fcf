#pragma once

#include <functional>
#include <string>

#include "support/helper_process.h"

namespace brindell::testing {

// Failing one system call of the real executable on purpose, with strace's
// fault injection. strace counts calls per thread, so the call is first
// found in a rehearsal on an identical tree: the numbers follow the code
// instead of being written into the tests.

// Whether strace is installed and allowed to trace here.
bool faultInjectionAvailable();

struct FailingCall {
  const char* syscall;
  const char* needle;  // in the traced call's line
  int nth;             // which matching call, 1-based; -1: the last
  const char* error;   // "EIO" or "ENOSPC"
};

// Builds a tree in `root` and returns the request to run on it.
using Scenario = std::function<std::string(const std::string& root)>;

// Runs the scenario's request in `root` with `call` failing. Every thread
// that reaches the call's count fails, so a needle must pick a call no other
// thread makes as often. Fails the test when the call is not found.
HelperRun runWithFailingCall(const Scenario& scenario, const std::string& root,
                             const FailingCall& call);

// The answer to a failed call: "SYNC_IO" with `prefix` + ": " + the error's
// text + ". Local workspace data is unchanged."
std::string failedCallLine(const std::string& prefix, const char* error);

}  // namespace brindell::testing
