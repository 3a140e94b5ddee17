#include "support/registry_support.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "platform/descriptors.h"
#include "platform/files.h"
#include "support/processes.h"

void MakeEntry(const std::string& registry, const std::string& name, int port,
               const char* sandboxes) {
  std::string dir = registry + "/" + name;
  if (MkDirs(dir) != 0) abort();
  std::string record;
  for (int shift = 24; shift >= 0; shift -= 8) record += static_cast<char>((port >> shift) & 0xFF);
  for (int i = 0; i < 16; ++i) record += static_cast<char>(i);
  std::ofstream(dir + "/location", std::ios::binary) << record;
  if (sandboxes) std::ofstream(dir + "/sandboxes", std::ios::binary) << sandboxes;
  std::ofstream(dir + "/daemon.properties") << "name: " << name << "\n";
}

LockHolder::LockHolder(const std::vector<std::string>& paths, int holdMs) {
  int ready[2];
  if (OpenPipe(ready) != 0 || OpenPipe(release_) != 0) abort();
  pid_ = ForkChild([&] {
    for (const std::string& path : paths) {
      int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
      if (fd < 0 || lockf(fd, F_TLOCK, 0) != 0) return 3;
    }
    char byte = 1;
    close(release_[1]);
    if (write(ready[1], &byte, 1) != 1) return 4;
    if (holdMs >= 0) return usleep(static_cast<useconds_t>(holdMs) * 1000);
    return static_cast<int>(read(release_[0], &byte, 1));  // until the holder goes
  });
  close(ready[1]);
  close(release_[0]);
  char byte;
  if (read(ready[0], &byte, 1) != 1) abort();  // the child could not lock
  close(ready[0]);
}

LockHolder::~LockHolder() { Release(); }

void LockHolder::Release() {
  if (pid_ < 0) return;
  close(release_[1]);
  WaitChild(pid_);
  pid_ = -1;
}
