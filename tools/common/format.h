// printf-style formatting into a std::string, for the tools' reports.
#pragma once

#include <string>

// At most 255 characters; longer output is cut.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
