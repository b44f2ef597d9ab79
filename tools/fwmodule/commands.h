// The subcommands of fwmodule; each returns the process exit code.
#pragma once

#include <string>
#include <vector>

int FwmoduleCreate(const std::vector<std::string>& args);
int FwmoduleInfo(const std::vector<std::string>& args);
int FwmoduleFault(const std::vector<std::string>& args);
int FwmoduleDump(const std::vector<std::string>& args);
