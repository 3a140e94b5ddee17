// The registry entry readers on files holding the fuzzer's bytes.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "registry/registry.h"

namespace {

std::string Scratch() {
  static std::string dir;
  if (dir.empty()) {
    char pattern[] = "/tmp/quarn-fuzz-XXXXXX";
    dir = mkdtemp(pattern);
  }
  return dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string path = Scratch() + "/entry-file";
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return 0;
  if (size > 0 && write(fd, data, size) != static_cast<ssize_t>(size)) {
    close(fd);
    return 0;
  }
  close(fd);
  int32_t port = -1;
  std::string key;
  if (ReadLocationFile(path, port, key) == 0 && key.size() != 32) __builtin_trap();
  std::vector<std::string> sandboxes;
  (void)ReadSandboxesFile(path, sandboxes);
  std::map<std::string, std::string> properties;
  (void)ReadPropertiesFile(path, properties);
  return 0;
}
