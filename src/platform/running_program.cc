// The running program's own file, as each system tells it.
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/features.h"
#include "platform/paths.h"

#if QUARN_HAVE_LINUX_PROC
#include <unistd.h>
#elif QUARN_HAVE_NSGETEXECUTABLEPATH
#include <mach-o/dyld.h>
#elif QUARN_HAVE_KERN_PROC_PATHNAME
#include <sys/sysctl.h>
#include <sys/types.h>
#endif

bool RunningProgramPath(std::string& path) {
#if QUARN_HAVE_LINUX_PROC
  std::vector<char> self(kCwdBufferSize, '\0');
  ssize_t length = ::readlink("/proc/self/exe", self.data(), self.size() - 1);
  if (length <= 0) return false;
  path.assign(self.data(), static_cast<size_t>(length));
  return true;
#elif QUARN_HAVE_NSGETEXECUTABLEPATH
  // The path the program was started by, links and all: resolved, as the
  // other systems' answers are.
  uint32_t size = 0;
  (void)_NSGetExecutablePath(nullptr, &size);
  std::vector<char> started(size + 1, '\0');
  char resolved[PATH_MAX];
  if (_NSGetExecutablePath(started.data(), &size) != 0 ||
      ::realpath(started.data(), resolved) == nullptr) {
    return false;
  }
  path.assign(resolved);
  return true;
#elif QUARN_HAVE_KERN_PROC_PATHNAME
  int name[4] = {CTL_KERN, KERN_PROC, KERN_PROC_PATHNAME, -1};
  size_t size = 0;
  if (::sysctl(name, 4, nullptr, &size, nullptr, 0) != 0 || size == 0) return false;
  std::vector<char> self(size + 1, '\0');
  if (::sysctl(name, 4, self.data(), &size, nullptr, 0) != 0) return false;
  path.assign(self.data());
  return !path.empty();
#else
  (void)path;
  return false;
#endif
}
