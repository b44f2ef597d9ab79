#include "platform/stop_request.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <ctime>

namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr int64_t kNanosPerSecond = 1000000000;
static_assert(kStopConfirmSeconds == 5, "the warning names the wait");

// Its "5 seconds" is kStopConfirmSeconds.
constexpr char kWarning[] =
    "\nflashwright: the flash is being written; stopping now leaves the module without what is being written. "
    "Send the signal again (Ctrl-C) within 5 seconds to stop at the next safe point.\n";
constexpr char kStopping[] = "\nflashwright: stopping at the next safe point...\n";

// Only lock-free atomics: the handler may run in the middle of any of this.
struct StopState {
  std::atomic<int> guardDepth{0};
  std::atomic<bool> stop{false};
  std::atomic<int64_t> confirmUntilNs{0};
};
static_assert(std::atomic<int64_t>::is_always_lock_free && std::atomic<int>::is_always_lock_free);

StopState g_stop;

int64_t MonotonicNs() {
  struct timespec now = {};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * kNanosPerSecond + now.tv_nsec;
}

void Say(const char* text, size_t bytes) {
  // Nothing to do about a terminal that will not take it.
  ssize_t ignored = ::write(STDERR_FILENO, text, bytes);
  (void)ignored;
}

// Async-signal-safe throughout: atomics, clock_gettime, write, signal, raise.
void OnStopSignal(int number) {
  int savedErrno = errno;
  if (g_stop.guardDepth.load() == 0) {
    // Nothing being written: end as the signal always did (it is delivered
    // again once this handler returns).
    std::signal(number, SIG_DFL);
    std::raise(number);
  } else {
    int64_t now = MonotonicNs();
    if (g_stop.stop.load() || now < g_stop.confirmUntilNs.load()) {
      g_stop.stop.store(true);
      Say(kStopping, sizeof kStopping - 1);
    } else {
      g_stop.confirmUntilNs.store(now + kStopConfirmSeconds * kNanosPerSecond);
      Say(kWarning, sizeof kWarning - 1);
    }
  }
  errno = savedErrno;
}

}  // namespace

void StopSignalsInstall() {
  for (int number : kStopSignals) {
    struct sigaction old = {};
    if (::sigaction(number, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) continue;
    struct sigaction action = {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    // Reads and writes of the image and the module's files go on undisturbed.
    action.sa_flags = SA_RESTART;
    ::sigaction(number, &action, nullptr);
  }
}

void StopGuardEnter() {
  // New work starts unstopped: a stop the last work answered (or the run
  // between the two took) must not end an update chosen in the dialog later.
  if (g_stop.guardDepth.fetch_add(1) == 0) {
    g_stop.stop.store(false);
    g_stop.confirmUntilNs.store(0);
  }
}

void StopGuardLeave() { g_stop.guardDepth.fetch_sub(1); }

bool StopRequested() { return g_stop.stop.load(); }

void StopRequestResetForTests() {
  g_stop.guardDepth.store(0);
  g_stop.stop.store(false);
  g_stop.confirmUntilNs.store(0);
}
