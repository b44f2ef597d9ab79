#include "tests/sync/sync_fixture.h"

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "platform/platform.h"
#include "platform/sync.h"
#include "tests/support/temp_module.h"

namespace {
constexpr unsigned kChildLifetimeSeconds = 10;
constexpr int kReceiveTimeoutMs = 5000;
}  // namespace

void SyncTest::SetUp() { moduleDir_ = AttachTempModule(); }

void SyncTest::TearDown() {
  SyncResetForTests();
  PlatformDetachModule();
  std::error_code ec;
  if (!moduleDir_.empty()) std::filesystem::remove_all(moduleDir_, ec);
}

Child StartChild(const ChildBody& body) {
  Child child;
  int down[2];
  int up[2];
  if (::pipe(down) != 0 || ::pipe(up) != 0) {
    ADD_FAILURE() << "pipe";
    return child;
  }
  child.pid = ::fork();
  if (child.pid == 0) {
    ::alarm(kChildLifetimeSeconds);
    ::close(down[1]);
    ::close(up[0]);
    // _exit: a child must not run the parent's exit handlers, and dies the way a crash would.
    ::_exit(body(down[0], up[1]));
  }
  ::close(down[0]);
  ::close(up[1]);
  child.toChild = down[1];
  child.fromChild = up[0];
  if (child.pid < 0) ADD_FAILURE() << "fork";
  return child;
}

bool SendByte(int fd, char value) { return ::write(fd, &value, 1) == 1; }

bool ReceiveByte(int fd, char* value) {
  struct pollfd entry {fd, POLLIN, 0};
  return ::poll(&entry, 1, kReceiveTimeoutMs) == 1 && ::read(fd, value, 1) == 1;
}

int FinishChild(Child* child) {
  ::close(child->toChild);
  ::close(child->fromChild);
  int status = 0;
  if (child->pid <= 0 || ::waitpid(child->pid, &status, 0) != child->pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
