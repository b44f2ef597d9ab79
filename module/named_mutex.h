// Named mutexes of a module: one lock file per name under the module's locks/
// folder, so every process attached to the same module excludes the others.
// Recursive for the owning thread; an owner that ended while holding it is
// reported to the next owner as abandoned.
#pragma once

#include <cstdint>
#include <string>

struct NamedMutex;

enum class NamedMutexResult { Acquired, Abandoned, Timeout, Failed };

// Opens (creating when needed) the mutex `name` of the module whose locks
// folder is `locksDir`. `existed` tells whether another handle or process had
// it already. Null with `error` set on failure.
NamedMutex* NamedMutexOpen(const std::string& locksDir, const std::u16string& name, bool* existed,
                           std::string* error);

// Waits up to `timeoutMs` (0xFFFFFFFF = forever) for ownership.
NamedMutexResult NamedMutexLock(NamedMutex* mutex, uint32_t timeoutMs);

// Releases one level of ownership; false when the calling thread is not the owner.
bool NamedMutexUnlock(NamedMutex* mutex);

// Drops this handle's reference; the lock file stays for the module.
void NamedMutexClose(NamedMutex* mutex);

// As NamedMutexOpen; when no other handle or process has the mutex yet and
// `initialOwner` is set, the calling thread owns it before anyone else can
// see it.
NamedMutex* NamedMutexCreate(const std::string& locksDir, const std::u16string& name, bool initialOwner,
                             bool* existed, std::string* error);

// A mutex known to this process only, with the same owner semantics (the
// platform's unnamed mutex). Null when out of memory.
NamedMutex* NamedMutexCreateLocal();

// Abandons every mutex the calling thread still owns. Runs by itself when a
// thread ends; a thread runner calls it before it reports its thread ended,
// so that whoever waited for the thread finds its mutexes already abandoned.
void NamedMutexThreadExit();
