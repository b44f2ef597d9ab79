// A temporary module per test, and children that are real processes on it.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <functional>
#include <string>

class SyncTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  std::string moduleDir_;
};

// A forked child talking to the test over two pipes. The child ends with
// the body's return value and is killed if it outlives a few seconds.
struct Child {
  pid_t pid = -1;
  int toChild = -1;
  int fromChild = -1;
};

using ChildBody = std::function<int(int fromParent, int toParent)>;

Child StartChild(const ChildBody& body);

// One byte each way; false after a timeout or when the other side is gone.
bool SendByte(int fd, char value);
bool ReceiveByte(int fd, char* value);

// The child's exit status, or -1 when it did not exit normally.
int FinishChild(Child* child);
