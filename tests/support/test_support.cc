#include "support/test_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "trace/trace.h"

int CountOpenFds() {
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  while (struct dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(dir);
  return count - 1;  // the directory's own descriptor
}

TempDir::TempDir() {
  const char* base = getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/quarn-test-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) == nullptr) abort();
  path_ = buffer.data();
}

TempDir::~TempDir() {
  std::string command = "chmod -R u+rwx '" + path_ + "' 2>/dev/null; rm -rf '" + path_ + "'";
  if (system(command.c_str()) != 0) {
    // Leave it; a later run's directory has another name.
  }
}

void QuarnTest::SetUp() { fds_at_start_ = CountOpenFds(); }

void QuarnTest::TearDown() {
  EXPECT_EQ(fds_at_start_, CountOpenFds()) << "descriptor leaked";
  int status;
  EXPECT_LE(waitpid(-1, &status, WNOHANG), 0) << "child process left behind";
}

void WriteFile(const std::string& path, const std::string& content, int mode) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  ASSERT_GE(fd, 0) << path << ": " << strerror(errno);
  ASSERT_EQ(static_cast<ssize_t>(content.size()), write(fd, content.data(), content.size()));
  close(fd);
  chmod(path.c_str(), mode);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

bool Exists(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

void ExpectOnlyStandardDescriptors(const std::string& listing, const std::string& script) {
  ASSERT_FALSE(listing.empty());
  size_t start = 0;
  while (start < listing.size()) {
    size_t end = listing.find('\n', start);
    std::string line = listing.substr(start, end - start);
    start = end == std::string::npos ? listing.size() : end + 1;
    size_t arrow = line.find(" -> ");
    if (arrow == std::string::npos) continue;
    size_t name = line.rfind(' ', arrow - 1) + 1;
    int fd = std::stoi(line.substr(name, arrow - name));
    std::string target = line.substr(arrow + 4);
    EXPECT_TRUE(fd <= 2 || target == script || target.rfind("/proc/", 0) == 0) << listing;
  }
}

ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(name) {
  const char* old = getenv(name);
  had_value_ = old != nullptr;
  if (old) old_value_ = old;
  if (value) {
    setenv(name, value, 1);
  } else {
    unsetenv(name);
  }
}

ScopedEnv::~ScopedEnv() {
  if (had_value_) {
    setenv(name_.c_str(), old_value_.c_str(), 1);
  } else {
    unsetenv(name_.c_str());
  }
}

ScopedTrace::ScopedTrace(const std::string& path)
    : enable_("QUARN_NATIVE_TRACE_ENABLE", ""), path_(path) {
  SetTraceFilePath(path);
}

ScopedTrace::~ScopedTrace() { SetTraceFilePath(""); }

std::string ScopedTrace::Contents() const { return ReadFile(path_); }

pid_t ForkChild(int (*body)(void*), void* arg) {
  pid_t pid = fork();
  if (pid == 0) _exit(body(arg));
  return pid;
}

int WaitChild(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return WEXITSTATUS(status);
}

Handshake::Handshake() {
  if (pipe2(fds_, O_CLOEXEC) != 0) abort();
}

Handshake::~Handshake() { CloseAll(); }

void Handshake::Signal() {
  char byte = 1;
  if (write(fds_[1], &byte, 1) != 1) abort();
}

void Handshake::Wait() {
  char byte;
  while (read(fds_[0], &byte, 1) < 0 && errno == EINTR) {
  }
}

void Handshake::CloseAll() {
  for (int& fd : fds_) {
    if (fd >= 0) close(fd);
    fd = -1;
  }
}
