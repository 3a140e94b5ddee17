#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <thread>

#include "daemon.h"
#include "platform/files.h"
#include "platform/locks.h"
#include "platform/paths.h"
#include "platform/sys.h"
#include "registry/layout.h"
#include "registry/registry.h"

namespace {

bool WriteWhole(const std::string& path, const std::string& content) {
  std::string temp = path + ".tmp";
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  bool ok = WriteAll(fd, content.data(), content.size()) == 0;
  ok = CloseFd(fd) == 0 && ok;
  if (ok && ::rename(temp.c_str(), path.c_str()) == 0) return true;
  ::unlink(temp.c_str());
  return false;
}

// Takes a lock the way the front end does, retrying while another process
// holds it (front ends hold these only for a short pass).
bool AcquireWithRetry(const std::string& path, int* handle) {
  for (int attempt = 0; attempt < 500; ++attempt) {
    int result = AcquireFileLock(path, handle);
    if (result == 0) return true;
    if (result != kLockBusy) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

}  // namespace

std::string RegistryEntry::Publish(const std::string& configDir, int port,
                                   const unsigned char* key) {
  std::string registry = configDir + "/" + kRegistryDirName;
  // Another daemon may create it at the same moment: what counts is that
  // it exists afterwards.
  if (MkDirs(registry) != 0 && !IsPathDirectory(registry)) {
    return "cannot create the registry directory " + registry;
  }
  // Under the registry lock no purge pass can see the entry before its
  // alivelock is held and delete it as stale.
  std::string registry_lock = registry + "/" + kRegistryLockName;
  int registry_handle = -1;
  if (!AcquireWithRetry(registry_lock, &registry_handle)) return "cannot lock " + registry_lock;
  char name[64];
  std::snprintf(name, sizeof(name), "trel-%d-%02x%02x%02x%02x", static_cast<int>(::getpid()),
                key[0], key[1], key[2], key[3]);
  dir_ = registry + "/" + name;
  std::string error;
  if (::mkdir(dir_.c_str(), 0700) != 0) {
    error = "cannot create " + dir_ + ": " + std::strerror(errno);
  } else if (AcquireFileLock(dir_ + "/" + kAliveLockName, &alive_lock_) != 0) {
    error = std::string("cannot lock ") + dir_ + "/" + kAliveLockName;
  }
  (void)ReleaseFileLock(registry_lock, &registry_handle);
  if (!error.empty()) return error;

  std::string location = EncodeLocationRecord(port, key);
  std::string properties = "pid: " + std::to_string(::getpid()) +
                           "\nstart-time: " + std::to_string(std::time(nullptr)) +
                           "\nport: " + std::to_string(port) + "\n";
  // The location goes last: a reader finds the entry only once it is whole.
  if (!WriteUnderEntryLock(
          {{kSandboxesName, ""}, {kPropertiesName, properties}, {kLocationName, location}})) {
    return "cannot write the registry entry " + dir_;
  }
  return "";
}

bool RegistryEntry::WriteUnderEntryLock(
    const std::vector<std::pair<std::string, std::string>>& files) {
  std::string lock = dir_ + "/" + kEntryLockName;
  int handle = -1;
  if (!AcquireWithRetry(lock, &handle)) return false;
  bool ok = true;
  for (const auto& [name, content] : files) ok = ok && WriteWhole(dir_ + "/" + name, content);
  (void)ReleaseFileLock(lock, &handle);
  return ok;
}

bool RegistryEntry::AddSandbox(const std::string& root) {
  std::lock_guard<std::mutex> guard(mutex_);
  std::vector<std::string> next = sandboxes_;
  next.push_back(root);
  std::string content;
  for (const std::string& line : next) content += line + "\n";
  if (!WriteUnderEntryLock({{kSandboxesName, content}})) return false;
  sandboxes_ = std::move(next);
  return true;
}

std::vector<std::string> RegistryEntry::Sandboxes() {
  std::lock_guard<std::mutex> guard(mutex_);
  return sandboxes_;
}

void RegistryEntry::Remove() {
  std::lock_guard<std::mutex> guard(mutex_);
  if (dir_.empty()) return;
  std::string lock = dir_ + "/" + kEntryLockName;
  int handle = -1;
  bool locked = AcquireWithRetry(lock, &handle);
  (void)TrashDirectory(dir_);
  if (locked) (void)ReleaseFileLock(lock, &handle);  // its file went with the entry
  if (alive_lock_ >= 0) CloseFd(alive_lock_);
  alive_lock_ = -1;
  dir_.clear();
}
