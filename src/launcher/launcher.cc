#include "launcher/launcher.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstring>
#include <set>

#include "launch/launch.h"
#include "launcher/trace_init.h"
#include "platform/charsets.h"
#include "platform/console.h"
#include "platform/paths.h"
#include "platform/strings.h"
#include "protocol/exit_codes.h"
#include "protocol/protocol.h"
#include "registry/layout.h"
#include "registry/registry.h"
#include "trace/trace.h"

namespace {

// A closed 0, 1 or 2 would be taken by the next file or socket opened, and
// the daemon's output would land in a lock file or the daemon connection.
void OpenMissingStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // Inherited on purpose: it stands in for a standard descriptor.
    int opened = ::open("/dev/null", O_RDWR);  // NOLINT(android-cloexec-open)
    if (opened >= 0 && opened != fd) ::close(opened);
  }
}

// Only the trace shows the locale, so the work is skipped when tracing is off.
void TraceLocale() {
  if (!TraceEnabled()) return;
  const char* current = std::setlocale(LC_CTYPE, nullptr);
  std::string remembered = current ? current : "C";
  std::string system = "NULL";
  if (std::setlocale(LC_CTYPE, "") != nullptr) {
    const char* name = std::setlocale(LC_CTYPE, "");
    system = name ? name : "NULL";
  }
  TraceMessage("main(): Default Locale = %s; System Locale = %s", remembered.c_str(),
               system.c_str());
  std::string charset;
  TraceMessage("main(): Charset = %s", GetCurrentCharset(charset));
  TraceMessage("main(): Console charset = %s", GetCurrentConsoleCharset(charset));
  std::setlocale(LC_CTYPE, remembered.c_str());
}

// A registry that another user owns or others may write to is never used:
// its daemons could be anyone's, and ours would register there.
int ReportUntrustedRegistry(const RegistryDir& registry) {
  ReportToUser("not using the daemon registry " + PrintableText(registry.path(), kQuotedTextBytes) +
               ": " + registry.why());
  return -1;
}

// Starts a daemon under the start lock, so that runs that overlap start one
// between them. With `lookAgain`, a daemon that another run started while
// this one waited for the lock serves this run too (never one whose entry
// is in `passOver`), and *found says so. The lock is kept until the new
// daemon's entry is listed, so the next holder finds it.
int StartDaemonInTurn(const std::string& installDir, const std::string& configDir,
                      RegistryDir& registry, const std::string& cwd, bool lookAgain,
                      const std::set<std::string>& passOver, DaemonLocation* location,
                      bool* found) {
  *found = false;
  int start_lock = -1;
  int locked = AcquireStartLock(registry, &start_lock);
  // Made by someone else just now, and not the user's: a daemon started
  // now would register there.
  if (locked != 0 && !registry.why().empty()) return ReportUntrustedRegistry(registry);
  if (locked != 0) {
    // Held for too long, or no registry to hold it in: start as if alone.
    TraceMessage("WARNING: main(): Starting a daemon without the start lock; result = %d", locked);
  }
  int started = 0;
  // This run's first lookup purged moments ago: the scan alone finds a
  // daemon started meanwhile.
  if (locked == 0 && lookAgain && FindDaemon(registry, cwd, location, &passOver, false) == 0 &&
      location->Usable()) {
    TraceMessage("main(): Found a daemon started meanwhile; port = %d", location->port);
    *found = true;
  } else {
    *location = DaemonLocation();
    pid_t pid = -1;
    started = StartNewDaemon(installDir, configDir, location, &pid);
    if (started == 0 && locked == 0) (void)AwaitDaemonEntry(registry, *location, pid);
  }
  if (locked == 0) {
    int released = ReleaseStartLock(registry, &start_lock);
    if (released != 0) {
      TraceMessage("WARNING: main(): Error releasing the start lock; result = %d", released);
    }
  }
  return started;
}

// Finds or starts a daemon, runs the command, re-runs on request.
int RunCommandLoop(const std::string& configDir, const std::string& installDir,
                   const std::string& cwd, const std::string& registryDir, int argc, char** argv,
                   char** envp) {
  RegistryDir registry;
  if (registry.Open(registryDir) == kRegistryUntrusted) {
    (void)ReportUntrustedRegistry(registry);
    TraceMessage("----------------------------DONE---------------------------------");
    TraceMessage("main(): Command exited with %d", kFrontEndFailureExitCode);
    return kFrontEndFailureExitCode;
  }
  DaemonLocation location;
  int found = FindDaemon(registry, cwd, &location);
  if (found != 0) {
    TraceMessage("main(): Could not find an existing daemon; result = %d; port = %d, key = %s",
                 found, location.port, location.key.c_str());
  }
  // Registry entries whose daemons refused this run (one shutting down
  // that has closed its listener, say): passed over, never tried again.
  std::set<std::string> refused;
  int exit_code = 0;
  int reruns = 0;
  for (;;) {
    if (!location.Usable()) {
      // A re-run asks for a fresh daemon: no second lookup then.
      bool found_meanwhile = false;
      int started = StartDaemonInTurn(installDir, configDir, registry, cwd, reruns == 0, refused,
                                      &location, &found_meanwhile);
      if (started != 0) {
        TraceMessage("main(): Error starting daemon; result = %d", started);
        exit_code = kFrontEndFailureExitCode;
        break;
      }
    }
    // Only a daemon found in the registry may be passed over: one this run
    // started and that refuses is reported as it is.
    bool was_refused = false;
    int result = DoExecuteCommand(location, argc, argv, envp, cwd, &exit_code,
                                  location.entry.empty() ? nullptr : &was_refused);
    if (result != 0) {
      TraceMessage("ERROR: main(): Error executing command; result = %d; exit code = %d", result,
                   exit_code);
    }
    if (was_refused) {
      DaemonLocation passed = location;
      refused.insert(passed.entry);
      TraceMessage("main(): Passing over the daemon of entry %S on port %d", passed.entry.c_str(),
                   passed.port);
      bool found_other = false;
      int started = StartDaemonInTurn(installDir, configDir, registry, cwd, true, refused,
                                      &location, &found_other);
      std::string what =
          started != 0 ? "a new daemon could not be started"
          : found_other
              ? "using the daemon on port " + std::to_string(location.port) + " instead"
              : "started a new daemon on port " + std::to_string(location.port) + " instead";
      ReportToUser("the daemon on port " + std::to_string(passed.port) + " (registry entry " +
                   PrintableText(passed.entry, kQuotedTextBytes) + ") refused the connection; " +
                   what);
      if (started != 0) {
        exit_code = kFrontEndFailureExitCode;
        break;
      }
      continue;
    }
    if (exit_code != kRerunExitCode) break;
    location = DaemonLocation();
    TraceMessage("main(): Requested re-run exit code");
    // Each re-run starts a daemon that stays running: a daemon that always
    // asks again must not make us start them without end.
    if (++reruns > kMaxReruns) {
      ReportToUser("the daemon kept asking for the command to be run again; giving up");
      TraceMessage("ERROR: main(): Daemon requested a re-run more than %d times; giving up",
                   kMaxReruns);
      exit_code = kFrontEndFailureExitCode;
      break;
    }
  }
  TraceMessage("----------------------------DONE---------------------------------");
  TraceMessage("main(): Command exited with %d", exit_code);
  return exit_code;
}

}  // namespace

int RealMain(int argc, char** argv, char** envp) {
  if (argc < 1 || argv == nullptr || envp == nullptr) return kNoExitCode;
  OpenMissingStandardDescriptors();
  TraceFreezeSwitch();  // quarn never changes its own environment

  std::string config_dir;
  int config_index = -1;
  for (int i = 0; i < argc; ++i) {
    if (argv[i] != nullptr && std::strcmp(argv[i], "--config") == 0) {
      config_index = i;
      break;
    }
  }
  if (config_index >= 0 && config_index + 1 < argc && argv[config_index + 1] != nullptr) {
    config_dir = argv[config_index + 1];
  } else {
    int result = GetUserConfigDirPath(config_dir);
    if (result != 0) {
      TraceMessage("WARNING: Could not get user config dir path; result = %d", result);
      TraceMessage("ERROR: main(): Could not compute the config directory");
      ReportToUser("cannot find the configuration directory; name one with --config");
      return kNoExitCode;
    }
  }
  TraceInit(config_dir.c_str());

  TraceMessage("------------------------CONFIG DATA--------------------------");
  for (int i = 0; i < argc; ++i) TraceMessage("argv[%d] = %S", i, argv[i]);

  std::string install_dir;
  std::string executable = argv[0] ? argv[0] : "";
  if (GetInstallDirPath(executable, install_dir) != 0) {
    TraceMessage("ERROR: main(): Could not compute the install directory; executable path = %S",
                 argv[0]);
    ReportToUser("cannot find the directory that holds quarn (started as '" +
                 PrintableText(executable, kQuotedTextBytes) + "')");
    return kNoExitCode;
  }
  TraceMessage("main(): Install directory = %S", install_dir.c_str());
  TraceLocale();

  std::string cwd;
  GetCurrentWorkingDirPath(argc, argv, cwd);
  TraceMessage("main(): Effective CWD = %S", cwd.c_str());

  std::string registry_dir;
  // The configuration directory really used: a new daemon is handed this
  // one, so that it registers where the lookups look.
  std::string used_config_dir = config_dir;
  if (IsNullOrEmpty(config_dir)) {
    int result = GetUserConfigDirPath(registry_dir);
    if (result != 0) {
      TraceMessage(
          "ERROR: main(): Could not find user config dir for computing registry dir path; result = %d; Retrieved %S",
          result, registry_dir.c_str());
    }
    if (IsNullOrEmpty(registry_dir)) {
      TraceMessage("ERROR: main(): Could not compute the config directory");
      ReportToUser("cannot find the configuration directory; name one with --config");
      return kNoExitCode;
    }
    used_config_dir = registry_dir;
  } else {
    registry_dir = config_dir;
  }
  TraceMessage("main(): Config Dir Path = %S", config_dir.c_str());
  int joined = PathConcatenate(registry_dir, kRegistryDirName);
  if (joined != 0) {
    TraceMessage(
        "ERROR: main(): Error while concatenating to form daemon registry path; result = %d; Computed %S",
        joined, registry_dir.c_str());
  }
  TraceMessage("main(): Daemon Registry Path computed as %S", registry_dir.c_str());

  return RunCommandLoop(used_config_dir, install_dir, cwd, registry_dir, argc, argv, envp);
}
