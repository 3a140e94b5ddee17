#include "support/processes.h"

#if __has_include(<sys/prctl.h>)
#include <sys/prctl.h>
#endif
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

pid_t ForkChild(const std::function<int()>& body) {
  pid_t pid = fork();
  if (pid == 0) _exit(body());
  return pid;
}

int WaitChild(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

namespace {

bool HaveProc() { return access("/proc/self/stat", R_OK) == 0; }

}  // namespace

std::string OutputOf(const std::string& command) {
  std::string out;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof(buffer), pipe)) > 0;) out.append(buffer, n);
    pclose(pipe);
  }
  return out;
}

bool ProcessRunning(pid_t pid) {
  std::string state;
  if (HaveProc()) {
    std::string line;
    std::getline(std::ifstream("/proc/" + std::to_string(pid) + "/stat"), line);
    size_t paren = line.rfind(')');
    if (paren != std::string::npos && paren + 2 < line.size()) state = line.substr(paren + 2, 1);
  } else {
    std::istringstream(OutputOf("ps -o stat= -p " + std::to_string(pid) + " 2>/dev/null")) >> state;
  }
  return !state.empty() && state[0] != 'Z';
}

bool BecomeSubreaper() {
#if defined(PR_SET_CHILD_SUBREAPER)
  return prctl(PR_SET_CHILD_SUBREAPER, 1) == 0;
#else
  return false;
#endif
}

std::vector<pid_t> ChildProcesses() {
  std::vector<pid_t> pids;
  if (HaveProc()) {
    std::ifstream list("/proc/self/task/" + std::to_string(getpid()) + "/children");
    for (pid_t pid; list >> pid;) pids.push_back(pid);
    return pids;
  }
  std::istringstream table(OutputOf("ps -A -o pid= -o ppid="));
  for (pid_t pid, parent; table >> pid >> parent;) {
    if (parent == getpid()) pids.push_back(pid);
  }
  return pids;
}
