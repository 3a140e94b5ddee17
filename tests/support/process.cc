#include "support/process.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>

#include "support/test_support.h"

void CloseAbove2() {
  for (int fd = 3; fd < 1024; ++fd) close(fd);
}

namespace {

[[noreturn]] void ExecWithOptions(const std::vector<std::string>& argv,
                                  const ProcessOptions& options) {
  for (const std::string& name : options.unset_env) unsetenv(name.c_str());
  for (const auto& [name, value] : options.set_env) setenv(name.c_str(), value.c_str(), 1);
  if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
  CloseAbove2();
  if (options.timeout_seconds > 0) alarm(static_cast<unsigned>(options.timeout_seconds));
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  execv(args[0], args.data());
  _exit(127);
}

}  // namespace

ProcessResult RunProcess(const std::vector<std::string>& argv, const ProcessOptions& options,
                         const std::string& scratch_dir) {
  std::string in = scratch_dir + "/proc.in", out = scratch_dir + "/proc.out",
              err = scratch_dir + "/proc.err";
  WriteFile(in, options.stdin_text);
  pid_t pid = fork();
  if (pid == 0) {
    int in_fd = open(in.c_str(), O_RDONLY);
    int out_fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err_fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(in_fd, 0);
    dup2(out_fd, 1);
    dup2(err_fd, 2);
    if (options.close_stdout) close(1);
    for (int fd : {in_fd, out_fd, err_fd}) {
      if (fd > 2) close(fd);
    }
    ExecWithOptions(argv, options);
  }
  ProcessResult result;
  result.status = WaitChild(pid);
  result.out = ReadFile(out);
  result.err = ReadFile(err);
  return result;
}

pid_t SpawnProcess(const std::vector<std::string>& argv, const ProcessOptions& options) {
  pid_t pid = fork();
  if (pid == 0) {
    int null_fd = open("/dev/null", O_RDWR);
    dup2(null_fd, 0);
    dup2(null_fd, 1);
    dup2(null_fd, 2);
    if (null_fd > 2) close(null_fd);
    ExecWithOptions(argv, options);
  }
  return pid;
}

void BecomeSubreaper() { prctl(PR_SET_CHILD_SUBREAPER, 1); }

void ReapEnded() {
  int status;
  while (waitpid(-1, &status, WNOHANG) > 0) {
  }
}

bool ProcessRunning(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return false;
  size_t paren = line.rfind(')');
  return paren != std::string::npos && paren + 2 < line.size() && line[paren + 2] != 'Z';
}
