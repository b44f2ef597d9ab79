// Matching names against a search pattern, as the module's searches do.
#pragma once

#include <string_view>

// * and ? without regard to case; "name.*" also finds "name" without an
// extension, which is what makes "*.*" find everything.
bool NameMatches(std::u16string_view name, std::u16string_view pattern);
