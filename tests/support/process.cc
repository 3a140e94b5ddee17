#include "support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
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
  if (options.ignore_sigpipe) signal(SIGPIPE, SIG_IGN);
  CloseAbove2();
  if (options.timeout_seconds > 0) alarm(static_cast<unsigned>(options.timeout_seconds));
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  if (!options.argv0.empty()) args[0] = const_cast<char*>(options.argv0.c_str());
  args.push_back(nullptr);
  execv(argv[0].c_str(), args.data());
  _exit(127);
}

int StdinFor(const ProcessOptions& options, int* heldWriter) {
  if (options.stdin_held_open) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) abort();
    *heldWriter = fds[1];
    return fds[0];
  }
  int fd = memfd_create("stdin", MFD_CLOEXEC);
  size_t done = 0;
  while (done < options.stdin_text.size()) {
    ssize_t n = write(fd, options.stdin_text.data() + done, options.stdin_text.size() - done);
    if (n <= 0) abort();
    done += static_cast<size_t>(n);
  }
  lseek(fd, 0, SEEK_SET);
  return fd;
}

bool Exited(pid_t pid) {
  siginfo_t info = {};
  return waitid(P_PID, pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid;
}

// Until the pipe on `fd` is full or the process has ended, so that its
// writes have met a full pipe.
void WaitUntilFull(int fd, pid_t pid) {
  int capacity = fcntl(fd, F_GETPIPE_SZ);
  int queued = 0;
  while (!Exited(pid) && ioctl(fd, FIONREAD, &queued) == 0 && queued < capacity) usleep(1000);
}

}  // namespace

ProcessResult RunProcess(const std::vector<std::string>& argv, const ProcessOptions& options) {
  int held_writer = -1;
  int in = StdinFor(options, &held_writer);
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) abort();
  pid_t pid = fork();
  if (pid == 0) {
    int stdout_fd = out[1];
    if (!options.stdout_file.empty()) stdout_fd = open(options.stdout_file.c_str(), O_WRONLY);
    if (options.stdout_broken_pipe) close(out[0]);
    dup2(in, 0);
    dup2(stdout_fd, 1);
    dup2(err[1], 2);
    if (options.stdout_nonblocking) fcntl(1, F_SETFL, O_NONBLOCK);
    if (options.close_stdout) close(1);
    ExecWithOptions(argv, options);
  }
  close(in);
  close(out[1]);
  close(err[1]);
  if (options.stdout_broken_pipe) close(out[0]), out[0] = -1;
  if (options.stdout_nonblocking) WaitUntilFull(out[0], pid);
  ProcessResult result;
  struct pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  while (fds[0].fd >= 0 || fds[1].fd >= 0) {
    if (poll(fds, 2, -1) < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[65536];
      ssize_t n = read(fds[i].fd, buffer, sizeof(buffer));
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
      }
    }
  }
  result.status = WaitChild(pid);
  if (held_writer >= 0) close(held_writer);
  return result;
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
