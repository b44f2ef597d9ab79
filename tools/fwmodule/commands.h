// The subcommands of fwmodule; each returns the process exit code.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

int FwmoduleCreate(const std::vector<std::string>& args);
int FwmoduleInfo(const std::vector<std::string>& args);
int FwmoduleFault(const std::vector<std::string>& args);
int FwmoduleDump(const std::vector<std::string>& args);
int FwmoduleExport(const std::vector<std::string>& args);
int FwmoduleList(const std::vector<std::string>& args);
int FwmodulePut(const std::vector<std::string>& args);
int FwmoduleGet(const std::vector<std::string>& args);
int FwmoduleCpld(const std::vector<std::string>& args);
int FwmoduleJtagServer(const std::vector<std::string>& args);

// Prints "fwmodule: MESSAGE" on standard error; returns the failure exit code.
int FwmoduleFail(const std::string& message);
