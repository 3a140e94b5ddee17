#include "support/registry_support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

#include "platform/files.h"
#include "support/test_support.h"

void MakeEntry(const std::string& registry, const std::string& name, int port,
               const char* sandboxes, int keySeed) {
  std::string dir = registry + "/" + name;
  if (MkDirs(dir) != 0) abort();
  std::string record;
  record.push_back(static_cast<char>((port >> 24) & 0xFF));
  record.push_back(static_cast<char>((port >> 16) & 0xFF));
  record.push_back(static_cast<char>((port >> 8) & 0xFF));
  record.push_back(static_cast<char>(port & 0xFF));
  for (int i = 0; i < 16; ++i) record.push_back(static_cast<char>(i + keySeed));
  WriteFile(dir + "/location", record);
  if (sandboxes) WriteFile(dir + "/sandboxes", sandboxes);
  WriteFile(dir + "/daemon.properties", "name: " + name + "\n");
}

std::string KeyFor(int keySeed) {
  std::string key;
  char digits[3];
  for (int i = 0; i < 16; ++i) {
    snprintf(digits, sizeof(digits), "%02X", (i + keySeed) & 0xFF);
    key += digits;
  }
  return key;
}

LockHolder::LockHolder(const std::vector<std::string>& paths, int holdMs) {
  int ready[2], release[2];
  if (pipe2(ready, O_CLOEXEC) != 0 || pipe2(release, O_CLOEXEC) != 0) abort();
  pid_ = fork();
  if (pid_ == 0) {
    close(ready[0]);
    close(release[1]);
    for (const std::string& path : paths) {
      int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
      if (fd < 0 || lockf(fd, F_TLOCK, 0) != 0) _exit(3);
    }
    char byte = 1;
    if (write(ready[1], &byte, 1) != 1) _exit(4);
    if (holdMs >= 0) {
      usleep(static_cast<useconds_t>(holdMs) * 1000);
      _exit(0);
    }
    while (read(release[0], &byte, 1) < 0) {
    }
    _exit(0);
  }
  close(ready[1]);
  close(release[0]);
  release_fd_ = release[1];
  char byte;
  if (read(ready[0], &byte, 1) != 1) abort();  // the child could not lock
  close(ready[0]);
}

LockHolder::~LockHolder() { Release(); }

void LockHolder::Release() {
  if (pid_ < 0) return;
  close(release_fd_);
  WaitChild(pid_);
  pid_ = -1;
}
