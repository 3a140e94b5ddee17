#include "support/test_support.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "platform/descriptors.h"
#include "trace/trace.h"

int CountOpenFds() {  // less the listing's own
  const char* listing = Exists("/proc/self/fd") ? "/proc/self/fd" : "/dev/fd";
  return static_cast<int>(std::distance(std::filesystem::directory_iterator(listing), {})) - 1;
}

std::string TempDir::Base() {
  const char* base = getenv("TMPDIR");
  return base && *base ? base : "/tmp";
}

TempDir::TempDir() {
  path_ = Base() + "/quarn-test-XXXXXX";
  if (mkdtemp(&path_[0]) == nullptr) abort();
}

TempDir::~TempDir() {
  std::string command = "chmod -R u+rwx '" + path_ + "' 2>/dev/null; rm -rf '" + path_ + "'";
  if (system(command.c_str()) != 0) ADD_FAILURE() << "left behind: " << path_;
}

void QuarnTest::SetUp() { fds_at_start_ = CountOpenFds(); }

void QuarnTest::TearDown() {
  EXPECT_EQ(fds_at_start_, CountOpenFds()) << "descriptor leaked";
  EXPECT_LE(waitpid(-1, nullptr, WNOHANG), 0) << "child process left behind";
}

void WriteFile(const std::string& path, const std::string& content, int mode) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
  chmod(path.c_str(), static_cast<mode_t>(mode));
}

std::string ReadFile(const std::string& path) {
  std::stringstream buffer;
  buffer << std::ifstream(path, std::ios::binary).rdbuf();
  return buffer.str();
}

bool Exists(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

std::string StrayDescriptors(const std::string& listing, const std::string& script) {
  std::string stray = listing.empty() ? "no listing" : "";
  std::istringstream lines(listing);
  std::smatch m;
  for (std::string line; std::getline(lines, line);) {
    if (std::regex_search(line, m, std::regex(" (\\d+) -> (.*)$")) && std::stoi(m[1]) > 2 &&
        m[2] != script && m[2].str().rfind("/proc/", 0) != 0) {
      stray += line + "\n";
    }
  }
  return stray;
}

ScopedEnv::ScopedEnv(const char* name, const char* value)
    : name_(name), had_value_(getenv(name) != nullptr) {
  if (had_value_) old_value_ = getenv(name);
  value ? setenv(name, value, 1) : unsetenv(name);
}

ScopedEnv::~ScopedEnv() {
  had_value_ ? setenv(name_.c_str(), old_value_.c_str(), 1) : unsetenv(name_.c_str());
}

ScopedTrace::ScopedTrace(const std::string& path)
    : enable_("QUARN_NATIVE_TRACE_ENABLE", ""), path_(path) {
  SetTraceFilePath(path);
}

ScopedTrace::~ScopedTrace() { SetTraceFilePath(""); }

namespace {

// A file of no name, for a child's standard stream.
int AnonymousFile() {
  std::string path = TempDir::Base() + "/quarn-child-XXXXXX";
  int fd = mkstemp(&path[0]);
  if (fd < 0 || unlink(path.c_str()) != 0 || fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) abort();
  return fd;
}

std::string ReadFromStart(int fd) {
  std::string content;
  char buffer[65536];
  off_t at = 0;
  for (ssize_t n; (n = pread(fd, buffer, sizeof(buffer), at)) > 0; at += n) {
    content.append(buffer, static_cast<size_t>(n));
  }
  return content;
}

// How much a new pipe holds: filled until it takes no more.
int NewPipeCapacity() {
  int ends[2];
  if (OpenPipe(ends, true) != 0) abort();
  static const char chunk[4096] = {};
  int capacity = 0;
  for (ssize_t n; (n = write(ends[1], chunk, sizeof(chunk))) > 0;) capacity += static_cast<int>(n);
  close(ends[0]);
  close(ends[1]);
  return capacity;
}

bool Exited(pid_t pid) {
  siginfo_t info = {};
  return waitid(P_PID, pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid;
}

}  // namespace

ChildResult RunChild(const std::function<int()>& body, const ChildOptions& options) {
  // Standard input, output and error and the report go through files in
  // memory; standard output through a pipe when the test asks for one.
  int files[4], out[2] = {-1, -1};
  for (int& fd : files) fd = AnonymousFile();
  if (write(files[0], options.stdin_text.data(), options.stdin_text.size()) < 0) abort();
  lseek(files[0], 0, SEEK_SET);
  bool piped = options.stdout_nonblocking;
  if (piped && OpenPipe(out) != 0) abort();
  pid_t pid = fork();
  if (pid == 0) {
    for (int i = 0; i < 4; ++i) dup2(i == 1 && piped ? out[1] : files[i], i);
    if (piped) fcntl(1, F_SETFL, O_NONBLOCK);
    for (const std::string& name : options.unset_env) unsetenv(name.c_str());
    for (const auto& [name, value] : options.set_env) setenv(name.c_str(), value.c_str(), 1);
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
    if (options.in_child) options.in_child();
    alarm(static_cast<unsigned>(options.timeout_seconds));
    _exit(body());
  }
  if (out[1] >= 0) close(out[1]);
  ChildResult result;
  // A non-blocking pipe is read once it is full, so that the child's writes
  // have met a full pipe.
  int capacity = out[0] >= 0 ? NewPipeCapacity() : 0, queued = 0;
  while (options.stdout_nonblocking && !Exited(pid) && ioctl(out[0], FIONREAD, &queued) == 0 &&
         queued < capacity) {
    usleep(1000);
  }
  char buffer[65536];
  for (ssize_t n; out[0] >= 0 && (n = read(out[0], buffer, sizeof(buffer))) > 0;) {
    result.out.append(buffer, static_cast<size_t>(n));
  }
  result.status = WaitChild(pid);
  std::string* sinks[4] = {nullptr, piped ? nullptr : &result.out, &result.err, &result.report};
  for (int i = 0; i < 4; ++i) {
    if (sinks[i]) *sinks[i] = ReadFromStart(files[i]);
    close(files[i]);
  }
  if (out[0] >= 0) close(out[0]);
  return result;
}

ChildResult RunProgram(const std::vector<std::string>& argv, const ChildOptions& options,
                       const std::string& name) {
  return RunChild(
      [&] {
        for (int fd = 3; fd < 1024; ++fd) close(fd);
        std::vector<char*> args;
        for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
        if (!name.empty()) args[0] = const_cast<char*>(name.c_str());
        args.push_back(nullptr);
        execv(argv[0].c_str(), args.data());
        return 127;
      },
      options);
}
