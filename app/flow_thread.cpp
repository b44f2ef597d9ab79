#include "app/flow_thread.h"

#include "platform/handles.h"
#include "platform/threads.h"

namespace {

struct FlowStart {
  FlowFn flow;
  HWND dialog;
};

DWORD FlowThread(LPVOID param) {
  FlowStart start = *static_cast<FlowStart*>(param);
  delete static_cast<FlowStart*>(param);
  return static_cast<DWORD>(start.flow(start.dialog));
}

}  // namespace

bool StartFlowThread(HWND dialog, FlowFn flow, HANDLE* slot) {
  // One flow at a time uses the library: the last one may still be finishing.
  WaitForFlowThread(slot);
  auto* start = new FlowStart{flow, dialog};
  HANDLE thread = CreateThread(nullptr, 0, FlowThread, start, 0, nullptr);
  if (thread == nullptr) {
    delete start;
    return false;
  }
  *slot = thread;
  return true;
}

void WaitForFlowThread(HANDLE* slot) {
  if (*slot == nullptr) return;
  ThreadWaitForEnd(*slot, INFINITE);
  CloseHandle(*slot);
  *slot = nullptr;
}
