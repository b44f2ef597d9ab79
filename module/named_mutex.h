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
