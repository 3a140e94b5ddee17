#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "launch/launch.h"
#include "platform/console.h"
#include "platform/descriptors.h"
#include "platform/paths.h"
#include "platform/strings.h"
#include "platform/sys.h"
#include "trace/trace.h"

namespace {

const char kDebuggerNotice[] = "Listening for transport dt_socket";
constexpr std::string_view kPortPrefix = "Port: ";
constexpr std::string_view kKeyPrefix = "Key: ";
// A child that ends before the daemon runs: its standard streams could not
// be set up (-1), or the program could not be executed (-2).
constexpr int kChildSetupFailed = 255;
constexpr int kChildExecFailed = 254;
// The wait for the daemon's lines looks again at least this often (it is
// woken at once when data arrives).
constexpr int kStartupPollMs = 1000;
// A daemon's line, whatever it prints, costs at most this much memory.
constexpr size_t kMaxStartupLine = 64 * 1024;

const char* EnvOr(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return value ? value : fallback;
}

// "trel" in the install directory, or TREL_DAEMON_PATH as given.
std::string DaemonProgramPath(const std::string& installDir) {
  std::string program = EnvOr("TREL_DAEMON_PATH", "trel");
  if (program != "trel") return program;
  std::string exe = installDir;
  return PathConcatenate(exe, "trel") == 0 ? exe : program;
}

// One pipe from the daemon to quarn.
struct Pipe {
  UniqueFd read, write;
  // 0, or -1 with errno.
  int Open() {
    int ends[2];
    if (OpenPipe(ends) != 0) return -1;
    read.Reset(ends[0]);
    write.Reset(ends[1]);
    return 0;
  }
};

// Closes `fd` now, if it is open; false when the close failed.
bool CloseNow(UniqueFd& fd) { return !fd.Valid() || CloseFd(fd.Release()) == 0; }

// Closes `fd` now; a failure is only a warning, `line` with its ec.
void CloseOrWarn(UniqueFd& fd, const char* line) {
  if (!CloseNow(fd)) TraceMessage(line, errno);
}

// Makes a read end non-blocking; a failure is only a warning.
void MakeNonBlockingOrWarn(const UniqueFd& fd, const char* line) {
  if (::fcntl(fd.Get(), F_SETFL, O_NONBLOCK) != 0) TraceMessage(line, errno);
}

// Runs in the child between fork and exec; never returns.
[[noreturn]] void RunDaemonChild(const std::string& installDir, const std::string& configDir,
                                 Pipe& out, Pipe& err) {
  CloseOrWarn(
      out.read,
      "WARNING: StartNewDaemon(): [CHILD PROCESS] Error closing the read end of the stdout pipe; ec = %d");
  CloseOrWarn(
      err.read,
      "WARNING: StartNewDaemon(): [CHILD PROCESS] Error closing the read end of the stderr pipe; ec = %d");
  if (const char* path = std::getenv("TREL_DAEMON_PATH")) {
    TraceMessage(
        "StartNewDaemon(): [CHILD PROCESS] Environment Variable TREL_DAEMON_PATH is defined as %s",
        path);
  }
  std::string connection_timeout =
      EnvOr("TREL_DAEMON_CONNECTION_TIME_OUT", kDefaultConnectionTimeoutMs);
  std::string inactive_timeout = EnvOr("TREL_DAEMON_INACTIVE_TIME_OUT", kDefaultInactiveTimeoutMs);
  bool debug = std::getenv("TREL_DAEMON_START_DEBUG") != nullptr;

  std::string exe = DaemonProgramPath(installDir);
  TraceMessage("StartNewDaemon(): [CHILD PROCESS] Computed TREL exe path = %s", exe.c_str());
  std::vector<char> cwd(kCwdBufferSize, '\0');
  if (::getcwd(cwd.data(), cwd.size()) != nullptr) {
    TraceMessage("StartNewDaemon(): [CHILD PROCESS] Computed child cwd = %s", cwd.data());
  } else {
    TraceMessage("StartNewDaemon(): [CHILD PROCESS] Error getting child cwd; ec = %d", errno);
  }
  if (::dup2(out.write.Get(), STDOUT_FILENO) < 0) {
    TraceMessage(
        "ERROR: StartNewDaemon(): [CHILD PROCESS] Error duplicating the pipe write handle onto std out; exiting...; ec = %d",
        errno);
    _exit(kChildSetupFailed);
  }
  if (::dup2(err.write.Get(), STDERR_FILENO) < 0) {
    TraceMessage(
        "ERROR: StartNewDaemon(): [CHILD PROCESS] Error duplicating the pipe write handle onto std err; exiting...; ec = %d",
        errno);
    _exit(kChildSetupFailed);
  }
  // Only 0, 1 and 2 reach the daemon: a descriptor that quarn inherited
  // without close-on-exec (a shell or an IDE leaks some) would otherwise
  // stay open in a process that lives for hours.
  CloseDescriptorsAbove2();
  // A session and process group of its own: Ctrl-C, Ctrl-Z or a hang-up at
  // quarn's terminal during the start never reach a daemon meant to live
  // for hours, and a failed start can end the whole group.
  if (::setsid() < 0) {
    TraceMessage(
        "WARNING: StartNewDaemon(): [CHILD PROCESS] Could not start a new session; ec = %d", errno);
  }
  const char* argv[] = {exe.c_str(),
                        "--config",
                        configDir.c_str(),
                        "daemon",
                        "start",
                        "--connection-timeout",
                        connection_timeout.c_str(),
                        "--inactive-timeout",
                        inactive_timeout.c_str(),
                        debug ? kDaemonDebugArgument : nullptr,
                        nullptr};
  if (debug) {
    TraceMessage(
        "StartNewDaemon(): [CHILD PROCESS] Spawning off the daemon in debug mode with command line: %s %s %s %s %s %s %s %s %s %s %s",
        exe.c_str(), argv[0], argv[1], argv[2], argv[3], argv[4], argv[5], argv[6], argv[7],
        argv[8], argv[9]);
  } else {
    TraceMessage(
        "StartNewDaemon(): [CHILD PROCESS] Spawning off the daemon with command line: %s %s %s %s %s %s %s %s %s %s",
        exe.c_str(), argv[0], argv[1], argv[2], argv[3], argv[4], argv[5], argv[6], argv[7],
        argv[8]);
  }
  ::execv(exe.c_str(), const_cast<char* const*>(argv));
  int saved_errno = errno;
  TraceMessage(
      "ERROR: StartNewDaemon(): [CHILD PROCESS] Error executing the daemon process; ec = %d; exiting...",
      saved_errno);
  // Standard error is the pipe: the user sees this line through the copy
  // the front end makes of a failed daemon's error output.
  ReportToUser("cannot run the daemon program '" + PrintableText(exe, kQuotedTextBytes) +
               "': " + std::strerror(saved_errno));
  _exit(kChildExecFailed);
}

// One byte from the pipe: read's result.
ssize_t ReadOneByte(int descriptor, char* byte) { return Sys().read(descriptor, byte, 1); }

// One line from the non-blocking pipe, taken a byte at a time by `read`
// (as ReadOneByte); `wait` runs whenever it is empty.
template <typename Wait, typename Read = decltype(&ReadOneByte)>
int ReadLineWaiting(int descriptor, std::string& line, Wait wait, Read read = &ReadOneByte) {
  if (descriptor < 0) return kPipeBadDescriptor;
  line.clear();
  for (;;) {
    char byte;
    ssize_t n = read(descriptor, &byte);
    if (n == 0) return kPipeEnded;
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        TraceMessage(
            "WARNING: ReadLineFromPipe(): Error while reading from pipe; Retrying after a timeout; ec = %d",
            errno);
        wait();
        continue;
      }
      TraceMessage(
          "ERROR: ReadLineFromPipe(): Error while reading from pipe; line read so far: %s; ec = %d",
          line.c_str(), errno);
      return kPipeFailed;
    }
    if (byte != '\n') {
      if (line.size() >= kMaxStartupLine) {
        TraceMessage("ERROR: ReadLineFromPipe(): Line longer than %d bytes",
                     static_cast<int>(kMaxStartupLine));
        return kPipeFailed;
      }
      line.push_back(byte);
      continue;
    }
    TrimSpaces(line, true, true);
    TraceMessage("ReadLineFromPipe(): Line Read = %s", line.c_str());
    return 0;
  }
}

// Ends the daemon's whole process group (a wrapper script's children with
// it) and reaps the child, unless the no-hang check reaped it already.
void KillDaemon(pid_t pid, bool reaped) {
  TraceMessage("StartNewDaemon(): Kill Daemon reached");
  TraceMessage("StartNewDaemon(): Initiating daemon termination...");
  // The group is the child's own once it has called setsid(); before that
  // the child alone is ours to kill. A reaped child's group stays reserved
  // while any member lives, so its number names no one else.
  bool group_killed = ::kill(-pid, SIGKILL) == 0;
  if (reaped) return;
  if (::kill(pid, SIGKILL) != 0 && !group_killed) {
    TraceMessage("ERROR: StartNewDaemon(): Could not terminate daemon; ec = %d", errno);
    return;
  }
  TraceMessage("StartNewDaemon(): Waiting for daemon to terminate...");
  int status = 0;
  pid_t waited;
  do {
    waited = ::waitpid(pid, &status, 0);
  } while (waited < 0 && errno == EINTR);
  if (waited == pid) {
    TraceMessage("StartNewDamon(): Daemon terminated successfully");
  } else if (waited >= 0) {
    TraceMessage(
        "ERROR: StartNewDamon(): Wait returns pid of a process different than child; returned = %d; child pid = %d",
        static_cast<int>(waited), static_cast<int>(pid));
  } else {
    TraceMessage(
        "ERROR: StartNewDamon(): Error waiting for daemon to terminate; status = %d; ec = %d",
        status, errno);
  }
}

// The daemon's two streams while quarn waits for its start-up lines. Its
// standard error is read as it comes, so that a daemon that writes much
// there first never blocks on a full pipe; the last kErrorTail bytes are
// kept to show the user if the start fails.
class StartupStreams {
 public:
  StartupStreams(int out, int err) : out_(out), err_(err) {}

  // ReadLineFromPipe on standard output, taking standard error meanwhile.
  // Standard output is read in pieces, not a byte per call: what follows
  // the start-up lines is never used, and the pipe is closed after them.
  int ReadLine(std::string& line) {
    return ReadLineWaiting(
        out_, line, [this] { WaitForEither(); },
        [this](int descriptor, char* byte) -> ssize_t {
          if (taken_ == held_.size()) {
            char piece[4096];
            ssize_t n = Sys().read(descriptor, piece, sizeof(piece));
            if (n <= 0) return n;
            held_.assign(piece, static_cast<size_t>(n));
            taken_ = 0;
          }
          *byte = held_[taken_++];
          return 1;
        });
  }

  // Copies the complete lines of what the daemon wrote to its standard
  // error (the last kErrorTail bytes of it) to ours, after taking what is
  // left in the pipe without waiting; returns how many it copied.
  int ShowErrors() {
    TakeErrors(kMaxErrorDrain);
    size_t start = 0;
    if (tail_cut_) {  // the first line lost its start
      size_t first = tail_.find('\n');
      start = first == std::string::npos ? tail_.size() : first + 1;
    }
    int copied = 0;
    for (size_t end; (end = tail_.find('\n', start)) != std::string::npos; start = end + 1) {
      std::string line = tail_.substr(start, end - start);
      TrimSpaces(line, true, true);
      (void)WriteToStdErr(line);
      (void)WriteToStdErr("\n");
      ++copied;
    }
    return copied;
  }

 private:
  static constexpr size_t kErrorTail = 64 * 1024;
  // Left in the pipe once the daemon is killed: a pipe's buffer at most,
  // which may have been made larger than the default.
  static constexpr size_t kMaxErrorDrain = 4 * 1024 * 1024;

  // Waits up to a second for either stream, and takes standard error.
  void WaitForEither() {
    struct pollfd fds[2] = {{out_, POLLIN, 0}, {err_open_ ? err_ : -1, POLLIN, 0}};
    (void)::poll(fds, 2, kStartupPollMs);
    if (fds[1].revents != 0) TakeErrors();
  }

  // What standard error holds now, never waiting, and at most `bound`
  // bytes: a daemon that writes there without end never keeps quarn from
  // its standard output, nor from showing what it kept.
  void TakeErrors(size_t bound = kErrorTail) {
    char buffer[16384];
    for (size_t taken = 0; err_open_ && taken < bound;) {
      ssize_t n = Sys().read(err_, buffer, sizeof(buffer));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        err_open_ = n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
        return;
      }
      taken += static_cast<size_t>(n);
      tail_.append(buffer, static_cast<size_t>(n));
      if (tail_.size() > kErrorTail) {
        tail_.erase(0, tail_.size() - kErrorTail);
        tail_cut_ = true;
      }
    }
  }

  int out_, err_;
  std::string held_;  // read from standard output, not yet taken
  size_t taken_ = 0;
  bool err_open_ = true;
  std::string tail_;
  bool tail_cut_ = false;
};

// Reads the start-up lines; 0 with `location` filled, else the failure code
// after one line to the user (unless the daemon's own errors were shown).
// `*showErrors` is set when the daemon's standard error is the user's
// explanation (its standard output ended): shown once the daemon is killed.
int ReadStartupLines(StartupStreams& streams, const std::string& program, DaemonLocation* location,
                     bool* showErrors) {
  TraceMessage("StartNewDaemon(): Reading from pipe");
  std::string daemon = "the daemon program '" + PrintableText(program, kQuotedTextBytes) + "'";
  std::string line;
  int result = streams.ReadLine(line);
  if (result == kPipeEnded) {
    TraceMessage("ERROR: StartNewDaemon(): Other end of the pipe could be closed; result = %d",
                 result);
    *showErrors = true;
    return kStartNoFirstLine;
  }
  if (result != 0) {
    TraceMessage("ERROR: StartNewDaemon(): Error reading data from the pipe; result = %d", result);
    ReportToUser("cannot read the start-up lines of " + daemon);
    return kStartNoFirstLine;
  }
  if (StringStartsWith(line, kDebuggerNotice)) {
    TraceMessage("StartNewDaemon(): Got Debugger startup message");
    result = streams.ReadLine(line);
    if (result != 0) {
      TraceMessage("ERROR: StartNewDaemon(): Error reading data from the pipe; result = %d",
                   result);
      ReportToUser(daemon + " stopped after its debugger notice, without reporting its port");
      return kStartNoLineAfterNotice;
    }
  }
  if (!StringStartsWith(line, std::string(kPortPrefix))) {
    TraceMessage(
        "ERROR: StartNewDaemon(): Unexpected data; was expecting port information; data read = %s",
        line.c_str());
    ReportToUser(daemon +
                 " did not report its port; it printed: " + PrintableText(line, kQuotedTextBytes));
    return kStartNoPortLine;
  }
  int port = ConvertStringToInt(line.c_str() + kPortPrefix.size(), 10);
  result = streams.ReadLine(line);
  if (result != 0) {
    TraceMessage("ERROR: StartNewDaemon(): Error reading data from the pipe; result = %d", result);
    ReportToUser(daemon + " stopped after its port, without reporting its key");
    return kStartNoKeyLine;
  }
  if (!StringStartsWith(line, std::string(kKeyPrefix))) {
    TraceMessage(
        "ERROR: StartNewDaemon(): Unexpected data; was expecting key information; data read = %s",
        line.c_str());
    ReportToUser(daemon +
                 " did not report its key; it printed: " + PrintableText(line, kQuotedTextBytes));
    return kStartNoKey;
  }
  std::string key(TextView(line).substr(kKeyPrefix.size()));
  TraceMessage("StartNewDaemon(): Read data from daemon process stdout: Port = %d; Key = %s", port,
               key.c_str());
  if (port < 0 || key.empty()) {
    TraceMessage("ERROR: StartNewDaemon(): Empty key or invalid port; key = %s; port = %d",
                 key.c_str(), port);
    ReportToUser(daemon + " reported an invalid port or an empty key");
    return kStartBadPortOrKey;
  }
  location->port = port;
  location->key = key;
  return 0;
}

}  // namespace

int ReadLineFromPipe(int descriptor, std::string& line) {
  return ReadLineWaiting(descriptor, line, [descriptor] {
    // Wake as soon as data arrives, at most a second later.
    struct pollfd waiting = {descriptor, POLLIN, 0};
    (void)::poll(&waiting, 1, kStartupPollMs);
  });
}

int HandleDaemonStartFailure(int descriptor) {
  int copied = 0;
  std::string line;
  while (ReadLineFromPipe(descriptor, line) == 0) {
    (void)WriteToStdErr(line);
    (void)WriteToStdErr("\n");
    ++copied;
  }
  return copied;
}

int StartNewDaemon(const std::string& installDir, const std::string& configDir,
                   DaemonLocation* location, pid_t* daemonPid) {
  TraceMessage("------------------------START NEW DAEMON--------------------------");
  if (location == nullptr) return kStartBadArguments;
  if (!IsPathDirectory(installDir)) {
    ReportToUser("cannot start a daemon: the install directory '" +
                 PrintableText(installDir, kQuotedTextBytes) + "' is not a directory");
    return kStartBadArguments;
  }
  std::string program = DaemonProgramPath(installDir);

  Pipe out, err;  // the daemon's standard output and error
  auto cannot_start = [&program](int error) {
    ReportToUser("cannot start the daemon program '" + PrintableText(program, kQuotedTextBytes) +
                 "': " + std::strerror(error));
  };
  if (out.Open() != 0) {
    int error = errno;
    TraceMessage("ERROR: StartNewDaemon(): Error creating pipe for stdout; ec = %d", error);
    cannot_start(error);
    return kStartNoPipe;
  }
  if (err.Open() != 0) {
    int error = errno;
    TraceMessage("ERROR: StartNewDaemon(): Error creating pipe for stderr; ec = %d", error);
    cannot_start(error);
    return kStartNoPipe;
  }
  MakeNonBlockingOrWarn(
      out.read,
      "WARNING: StartNewDaemon(): Error while making the read end of the stdout pipe non-blocking; Continuing...; ec = %d");
  MakeNonBlockingOrWarn(
      err.read,
      "WARNING: StartNewDaemon(): Error while making the read end of the stderr pipe non-blocking; Continuing...; ec = %d");
  pid_t pid = Sys().fork();
  if (pid < 0) {
    int error = errno;
    TraceMessage("ERROR: StartNewDaemon(): Error spawning off a child process; ec = %d", error);
    cannot_start(error);
    return kStartNoFork;
  }
  if (pid == 0) RunDaemonChild(installDir, configDir, out, err);

  TraceMessage("StartNewDaemon(): Spawned off a child process for executing daemon");
  CloseOrWarn(out.write,
              "WARNING: StartNewDaemon(): Error closing the write end of the stdout pipe; ec = %d");
  CloseOrWarn(err.write,
              "WARNING: StartNewDaemon(): Error closing the write end of the stderr pipe; ec = %d");

  int code;
  TraceMessage("StartNewDaemon(): Checking if child is alive...");
  int status = 0;
  pid_t checked = ::waitpid(pid, &status, WNOHANG);
  StartupStreams streams(out.read.Get(), err.read.Get());
  std::string daemon = "the daemon program '" + PrintableText(program, kQuotedTextBytes) + "'";
  if (checked < 0) {
    TraceMessage("ERROR: StartNewDamon(): Daemon has terminated with %d; status = %d; ec = %d",
                 WEXITSTATUS(status), status, errno);
    if (streams.ShowErrors() == 0) ReportToUser(daemon + " could not be started");
    code = kDaemonGoneAtStart;
  } else {
    TraceMessage("StartNewDaemon(): Check returned with result %d, status = %d",
                 static_cast<int>(checked), status);
    bool show_errors = false;
    code = ReadStartupLines(streams, program, location, &show_errors);
    // Killed first: what its standard error holds is then all there is,
    // and a wrapper's child that keeps the pipe open cannot hold us.
    if (code != 0) KillDaemon(pid, checked == pid);
    if (show_errors && streams.ShowErrors() == 0) {
      ReportToUser(daemon + " ended without reporting its port");
    }
    if (code == 0 && daemonPid != nullptr) *daemonPid = pid;
  }

  // The daemon keeps its ends; ours close now, and a failure is the code.
  // (Ours of the write ends were closed right after the fork.)
  int started = code;
  if (!CloseNow(out.read) || !CloseNow(err.read)) code = kStartCloseFailed;
  if (started == 0 && code != 0) {
    ReportToUser("cannot close the pipes of the daemon program '" +
                 PrintableText(program, kQuotedTextBytes) + "'");
  }
  return code;
}
