// Threads and their priorities on the module's scale (0 highest .. 255
// lowest, 251 normal). Priorities are kept per thread and reported back as
// set; the host scheduler is not asked to honour them.
#pragma once

#include "platform/types.h"

using LPTHREAD_START_ROUTINE = DWORD (*)(LPVOID);

constexpr DWORD STILL_ACTIVE = 259;
constexpr DWORD CREATE_SUSPENDED = 0x4;
constexpr DWORD STACK_SIZE_PARAM_IS_A_RESERVATION = 0x10000;

// The module's 256-level scale; the eight classic levels sit at its bottom.
constexpr int CE_THREAD_PRIORITY_HIGHEST = 0;
constexpr int CE_THREAD_PRIORITY_LOWEST = 255;
constexpr int CE_THREAD_PRIO_256_BASE = 248;
constexpr int THREAD_PRIORITY_TIME_CRITICAL = 0;
constexpr int THREAD_PRIORITY_HIGHEST = 1;
constexpr int THREAD_PRIORITY_ABOVE_NORMAL = 2;
constexpr int THREAD_PRIORITY_NORMAL = 3;
constexpr int THREAD_PRIORITY_BELOW_NORMAL = 4;
constexpr int THREAD_PRIORITY_LOWEST = 5;
constexpr int THREAD_PRIORITY_ABOVE_IDLE = 6;
constexpr int THREAD_PRIORITY_IDLE = 7;
constexpr int CE_THREAD_PRIORITY_NORMAL = CE_THREAD_PRIO_256_BASE + THREAD_PRIORITY_NORMAL;
constexpr int THREAD_PRIORITY_ERROR_RETURN = 0x7FFFFFFF;

// Starts `start(param)` on a new thread; `threadId` (optional) receives the
// id GetCurrentThreadId reports inside it. The stack size is a hint the host
// does not need. CREATE_SUSPENDED is not offered (ERROR_NOT_SUPPORTED).
// Closing the handle while the thread runs leaves the thread running.
HANDLE CreateThread(LPSECURITY_ATTRIBUTES attributes, DWORD stackSize, LPTHREAD_START_ROUTINE start, LPVOID param,
                    DWORD flags, DWORD* threadId);

// STILL_ACTIVE until the thread's start routine has returned, then its result.
BOOL GetExitCodeThread(HANDLE thread, DWORD* exitCode);

DWORD GetCurrentThreadId();

// A pseudo-handle that always means the calling thread; it needs no closing.
HANDLE GetCurrentThread();

int CeGetThreadPriority(HANDLE thread);  // THREAD_PRIORITY_ERROR_RETURN on failure
BOOL CeSetThreadPriority(HANDLE thread, int priority);

// Waits for `thread` to end (the thread side of WaitForSingleObject).
DWORD ThreadWaitForEnd(HANDLE thread, DWORD ms);

// Resets the calling thread's own priority (threads not made by CreateThread).
void ThreadsResetForTests();
