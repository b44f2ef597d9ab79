// Mutexes and waiting. A named mutex belongs to the attached module and is
// shared by every process on it; an unnamed one is this process's own. Both
// are recursive for the owning thread, and an owner that ended while holding
// one is reported to the next owner as abandoned (who then owns it).
#pragma once

#include "platform/types.h"

constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_ABANDONED = 0x80;
constexpr DWORD WAIT_TIMEOUT = 0x102;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;

// Creates or opens the mutex `name` (null or empty: a new unnamed one). Sets
// ERROR_ALREADY_EXISTS when the name existed, in which case `initialOwner`
// is ignored; else the last error is ERROR_SUCCESS. Null on failure; named
// mutexes need an attached module (ERROR_PATH_NOT_FOUND).
HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES attributes, BOOL initialOwner, LPCWSTR name);

// Gives up one level of ownership; FALSE with ERROR_NOT_OWNER when the calling
// thread does not own the mutex.
BOOL ReleaseMutex(HANDLE mutex);

// Waits for a mutex (ownership) or a thread (its end) for at most `ms`
// milliseconds (INFINITE: no limit). Returns WAIT_OBJECT_0, WAIT_ABANDONED,
// WAIT_TIMEOUT or WAIT_FAILED (last error set).
DWORD WaitForSingleObject(HANDLE object, DWORD ms);

// Forgets what the thread, time and shared-memory services cache for the
// process: unmaps views still mapped and resets the calling thread's own
// priority. Handles stay valid.
void SyncResetForTests();
