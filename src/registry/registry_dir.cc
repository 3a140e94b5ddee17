#include "registry/registry_dir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "trace/trace.h"

int RegistryDir::Open(const std::string& path) {
  listing_.Reset();
  fd_.Reset();
  path_ = path;
  why_.clear();
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.Valid()) return errno == ENOENT ? kRegistryMissing : kRegistryNotADirectory;
  struct stat info;
  if (::fstat(fd.Get(), &info) != 0) return kRegistryNotADirectory;
  if (info.st_uid != ::geteuid()) {
    why_ = "it belongs to another user (uid " + std::to_string(info.st_uid) + ")";
  } else if ((info.st_mode & S_IWOTH) != 0) {
    why_ = "others may write to it";
  }
  if (!why_.empty()) {
    TraceMessage("ERROR: RegistryDir(): Not using the daemon registry %S: %s", path.c_str(),
                 why_.c_str());
    return kRegistryUntrusted;
  }
  device_ = info.st_dev;
  fd_ = std::move(fd);
  return 0;
}

std::string RegistryDir::Join(const std::string& name) const {
  if (!path_.empty() && path_.back() == '/') return path_ + name;
  return path_ + "/" + name;
}
