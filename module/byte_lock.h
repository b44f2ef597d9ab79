// One-byte open-file-description locks on a lock file: they belong to the
// descriptor (so two descriptors of one process exclude each other like two
// processes do) and the kernel drops them when the process dies.
#pragma once

#include <fcntl.h>

// F_RDLCK, F_WRLCK or F_UNLCK on `byte`; `wait` blocks until it can be had.
// Interrupted waits are resumed.
bool ByteLock(int fd, off_t byte, short type, bool wait);

// Whether a descriptor other than `fd` holds a lock on `byte`.
bool ByteLockHeldByOthers(int fd, off_t byte);
