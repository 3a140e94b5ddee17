// trel, the reference daemon: enough of the real daemon's contract for
// development, demos, end-to-end tests and benchmarks.
#ifndef QUARN_REFDAEMON_DAEMON_H_
#define QUARN_REFDAEMON_DAEMON_H_

#include <atomic>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

/// This daemon's registry entry: created under the registry lock, its
/// alivelock held for the daemon's whole life, files written whole under the
/// entry lock.
class RegistryEntry {
 public:
  /// "" on success, else what went wrong.
  std::string Publish(const std::string& configDir, int port, const unsigned char* key);
  /// Adds a sandbox root; false when the file could not be rewritten.
  bool AddSandbox(const std::string& root);
  std::vector<std::string> Sandboxes();
  /// Deletes the entry under its entry lock.
  void Remove();
  const std::string& dir() const { return dir_; }

 private:
  bool WriteUnderEntryLock(const std::vector<std::pair<std::string, std::string>>& files);
  std::mutex mutex_;
  std::string dir_;
  int alive_lock_ = -1;
  std::vector<std::string> sandboxes_;
};

/// What the daemon says it is: for "version" and "daemon status".
constexpr char kTrelName[] = "trel (quarn's reference daemon)";

struct DaemonState {
  std::string program;  // this program's file, as the system resolves it
  int port = 0;
  std::string key_text;  // the key bytes as 32 upper-case hexadecimal digits
  std::string key_line;  // the key as printed: the same, or in lower case
  int connection_timeout_ms = 0;
  RegistryEntry entry;
  std::atomic<bool> shutdown{false};
  std::atomic<int> active{0};
  int wake_fd = -1;  // written to wake the accept loop
  void RequestShutdown();
  void Wake();
};

/// Serves one accepted connection to its end and closes it.
void ServeConnection(DaemonState& state, int fd);

#endif  // QUARN_REFDAEMON_DAEMON_H_
