#include "tests/support/run_program.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "module/atomic_file.h"
#include "tests/support/temp_module.h"

RunningProgram StartProgram(const std::vector<std::string>& argv,
                            const std::vector<std::pair<std::string, std::string>>& env, const std::string& input) {
  RunningProgram program;
  program.dir = MakeTempDir("fwrun");
  std::string inPath = program.dir + "/in", outPath = program.dir + "/out", errPath = program.dir + "/err";
  std::string error;
  if (!AtomicWriteFile(inPath, input, &error)) return program;
  std::fflush(nullptr);
  program.pid = ::fork();
  if (program.pid == 0) {
    int in = ::open(inPath.c_str(), O_RDONLY);
    int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0) ::_exit(127);
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(err, 2);
    for (const auto& [name, value] : env) ::setenv(name.c_str(), value.c_str(), 1);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  return program;
}

ProgramResult FinishProgram(const RunningProgram& program) {
  ProgramResult result;
  int status = 0;
  pid_t waited = -1;
  if (program.pid > 0) {
    do {
      waited = ::waitpid(program.pid, &status, 0);
    } while (waited < 0 && errno == EINTR);
  }
  if (waited == program.pid && WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  if (waited == program.pid && WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  std::string error;
  ReadWholeFile(program.dir + "/out", &result.out, &error);
  ReadWholeFile(program.dir + "/err", &result.err, &error);
  return result;
}

ProgramResult RunProgram(const std::vector<std::string>& argv,
                         const std::vector<std::pair<std::string, std::string>>& env, const std::string& input) {
  return FinishProgram(StartProgram(argv, env, input));
}
