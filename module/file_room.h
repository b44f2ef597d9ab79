// Disk room for a file the models map shared. A store through a mapping into
// a page the host's disk has no room for ends the process with SIGBUS (after
// an erase, perhaps, with the OS image gone); with every block allocated up
// front, a full disk is found when the file is opened, before anything changed.
#pragma once

#include <cstdint>
#include <string>

// Allocates every block of the first `bytes` of the open file `fd` (named
// `path` in the error), keeping its contents and size. False with a message
// that names the host's full disk when there is no room. A file system that
// cannot allocate ahead is let be: there is nothing better to do on it.
bool FileRoomReserve(int fd, uint64_t bytes, const std::string& path, std::string* error);
