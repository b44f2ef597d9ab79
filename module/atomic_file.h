// Whole-file replacement that a crash can never leave half written.
#pragma once

#include <string>
#include <string_view>

// Writes `data` to a temporary file beside `path`, syncs it and renames it over
// `path`, so readers see either the old or the new content.
bool AtomicWriteFile(const std::string& path, std::string_view data, std::string* error);

// Reads a whole file; false with `error` set when it cannot be read.
bool ReadWholeFile(const std::string& path, std::string* data, std::string* error);
// The rest of an open file, from its position; `path` only names it in errors.
bool ReadWholeFd(int fd, const std::string& path, std::string* data, std::string* error);
