// The registry as readable UTF-8 text, one key header and one value per line:
//   [HKEY_LOCAL_MACHINE\Drivers\BuiltIn\StrataFMD]
//   "Dll"="flashdisk.dll"          REG_SZ, cleanly terminated
//   "MemBase"=dword:01480000       REG_DWORD, exactly 4 bytes
//   "Data"=hex:01,02,ff            REG_BINARY
//   "Paths"=multi_sz:"a","b"       REG_MULTI_SZ, cleanly terminated
//   "Raw"=hex(2):41,00             any other type or untidy data, in hex
//   @="text"                       the key's default value
// Quoted text escapes \" and \\, and writes control characters and lone
// surrogates as \uHHHH. Lines starting with ';' are comments.
#pragma once

#include <string>
#include <string_view>

#include "module/registry_store.h"

std::string RegistryToText(const RegistryData& data);

// Parses `text`; on failure `error` names the line and the fault, and `data`
// is left unchanged.
bool RegistryFromText(std::string_view text, RegistryData* data, std::string* error);
