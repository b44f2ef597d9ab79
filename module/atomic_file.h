// Whole-file replacement that a crash can never leave half written.
#pragma once

#include <string>
#include <string_view>

// What a replacement must outlive: a crash of the host (the data is synced
// before the rename, which costs milliseconds), or only the process that
// writes it (the kernel holds the data; no sync).
enum class AtomicDurability { HostCrash, ProcessEnd };

// Writes `data` to a temporary file beside `path`, syncs it as `durability`
// asks and renames it over `path`, so readers see either the old or the new
// content.
bool AtomicWriteFile(const std::string& path, std::string_view data, std::string* error,
                     AtomicDurability durability = AtomicDurability::HostCrash);

// Reads a whole file; false with `error` set when it cannot be read.
bool ReadWholeFile(const std::string& path, std::string* data, std::string* error);
// The rest of an open file, from its position; `path` only names it in errors.
bool ReadWholeFd(int fd, const std::string& path, std::string* data, std::string* error);
