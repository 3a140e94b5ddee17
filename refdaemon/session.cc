// One connection: the server side of the Upgrade handshake, the command
// description, and the commands.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "daemon.h"
#include "platform/console.h"
#include "platform/paths.h"
#include "platform/strings.h"
#include "platform/sys.h"
#include "protocol/connection.h"
#include "protocol/protocol.h"

namespace {

using Clock = std::chrono::steady_clock;

// flood's default message size: the size of a typical large write.
constexpr long long kFloodChunk = 32 * 1024;

// How often a long read sets its receive time-out again: the deadline is
// kept within this much.
constexpr auto kRearmEvery = std::chrono::milliseconds(100);

// Bounds every receive until "preamble-done" by what is left of the
// connection time-out.
bool ArmDeadline(int fd, Clock::time_point deadline) {
  auto left =
      std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count();
  if (left <= 0) return false;
  struct timeval tv;
  tv.tv_sec = static_cast<time_t>(left / 1000000);
  tv.tv_usec = static_cast<suseconds_t>(left % 1000000);
  return ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv)) == 0;
}

void Disarm(int fd) {
  struct timeval tv = {0, 0};
  (void)::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
}

bool ConstantTimeEquals(const std::string& a, const std::string& b) {
  unsigned char diff = a.size() == b.size() ? 0 : 1;
  const std::string& probe = a.size() == b.size() ? a : b;
  for (size_t i = 0; i < b.size(); ++i) diff |= static_cast<unsigned char>(probe[i] ^ b[i]);
  return diff == 0;
}

void Respond(int fd, const std::string& status) {
  std::string response = status + "\r\n\r\n";
  if (status.find("101") != std::string::npos) {
    response = status + "\r\nConnection: Upgrade\r\nUpgrade: " + kUpgradeToken + "\r\n\r\n";
  }
  (void)SendOnce(fd, response.data(), response.size(), 0);
}

// Reads the request headers; true when the client may go on.
bool Handshake(DaemonState& state, Connection& connection, Clock::time_point deadline) {
  int fd = connection.fd();
  std::string line;
  bool first = true, request_ok = false, upgrade_ok = false, key_ok = false;
  for (;;) {
    if (!ArmDeadline(fd, deadline) || ReadLine(connection, line) != 0) return false;
    if (first) {
      request_ok = line == kHandshakeRequestLine;
      first = false;
      continue;
    }
    if (line.empty()) break;
    size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string name = line.substr(0, colon);
    std::string value = line.substr(colon + 1);
    TrimSpaces(value, true, true);
    if (name == kHeaderSecretKey) {
      key_ok =
          ConstantTimeEquals(value, state.key_text) || ConstantTimeEquals(value, state.key_line);
    }
    if (name == kHeaderUpgrade) upgrade_ok = value.find(kUpgradeToken) != std::string::npos;
  }
  if (!request_ok || !upgrade_ok) {
    Respond(fd, "HTTP/1.1 400 Bad Request");
    return false;
  }
  if (!key_ok) {
    Respond(fd, "HTTP/1.1 403 Forbidden");
    return false;
  }
  Respond(fd, "HTTP/1.1 101 Switching Protocols");
  return true;
}

struct Command {
  std::vector<std::string> args;
  std::vector<std::pair<std::string, std::string>> env;
  std::string cwd;
};

// What this daemon takes from a front end: arguments and environment values
// may be long (an environment entry up to 128 KiB).
MessageLimits Limits() {
  MessageLimits limits;
  limits.max_field = 1024 * 1024;
  return limits;
}

const char kHelp[] =
    "usage: trel [--config DIR] [-d DIR] COMMAND [ARGS]\n"
    "A stand-in for the trel daemon, for developing and testing quarn. Commands:\n"
    "  echo WORDS...        print the words\n"
    "  cat                  copy console input to the output\n"
    "  login [USER]         ask for a password\n"
    "  args                 print every argument, one a line\n"
    "  env NAME             print an environment variable of the command\n"
    "  pwd                  print the command's working directory\n"
    "  fail N               exit with N\n"
    "  stderr TEXT          print TEXT on standard error\n"
    "  flood BYTES [CHUNK]  print BYTES bytes\n"
    "  sandbox add DIR      serve DIR from now on\n"
    "  sandbox list         print the roots served\n"
    "  rerun-once FILE      ask for a re-run unless FILE exists, then make it\n"
    "  rerun-always         always ask for a re-run\n"
    "  daemon status        print the program, version, pid, port and entry\n"
    "  daemon stop          stop this daemon\n"
    "  version, --version   print the version\n"
    "  help, --help, -h     print this help\n";

class Session {
 public:
  Session(DaemonState& state, Connection& connection)
      : state_(state), connection_(connection), fd_(connection.fd()) {}

  bool ReadDescription(Clock::time_point deadline) {
    Message message;
    // The receive time-out is set again as the deadline nears, not for
    // each message: a description of a thousand variables would cost a
    // thousand system calls.
    Clock::time_point armed;
    for (;;) {
      Clock::time_point now = Clock::now();
      if (now >= deadline) return false;
      if (now - armed >= kRearmEvery) {
        if (!ArmDeadline(fd_, deadline)) return false;
        armed = now;
      }
      if (Read(message) != 0) return false;
      const std::string& type = message.type;
      if (type == kTypePreambleDone) break;
      if (message.fields.empty()) continue;
      if (type == kTypeArg) command_.args.push_back(message.fields[0]);
      if (type == kTypeCwd) command_.cwd = message.fields[0];
      if (type == kTypeEnv && message.fields.size() >= 2) {
        command_.env.emplace_back(message.fields[0], message.fields[1]);
      }
    }
    Disarm(fd_);
    return true;
  }

  void Run() {
    // Global options take one value each and come before the subcommand.
    std::vector<std::string> words;
    const auto& args = command_.args;
    for (size_t i = 0; i < args.size(); ++i) {
      if (words.empty() && (args[i] == "--config" || args[i] == "-d" || args[i] == "--directory")) {
        ++i;
        continue;
      }
      words.push_back(args[i]);
    }
    int code = Dispatch(words);
    std::string byte(1, static_cast<char>(code & 0xFF));
    (void)WriteMessage(&fd_, kTypeExitCode, "%s", byte);
  }

 private:
  int Read(Message& message) { return ReadMessage(connection_, message, nullptr, Limits()); }
  void Out(const std::string& text) { (void)WriteMessage(&fd_, kTypeStdout, "%s", text); }
  void Err(const std::string& text) { (void)WriteMessage(&fd_, kTypeStderr, "%s", text); }

  int Dispatch(const std::vector<std::string>& w) {
    std::string name = w.empty() ? "" : w[0];
    size_t n = w.size();
    if (name == "echo") {
      std::string text;
      for (size_t i = 1; i < n; ++i) text += (i > 1 ? " " : "") + w[i];
      Out(text + "\n");
      return 0;
    }
    if (name == "cat") return Cat();
    if (name == "login") return Login();
    if (name == "args") {
      for (const std::string& arg : command_.args) Out(arg + "\n");
      return 0;
    }
    if (name == "env" && n == 2) {
      for (const auto& [key, value] : command_.env) {
        if (key == w[1]) {
          Out(value + "\n");
          return 0;
        }
      }
      return 1;
    }
    if (name == "pwd") {
      // The working directory is the command's: one that does not exist
      // is the daemon's to report.
      if (!IsPathDirectory(command_.cwd)) {
        Err("trel: the working directory " + command_.cwd + " does not exist\n");
        return 1;
      }
      Out(command_.cwd + "\n");
      return 0;
    }
    if (name == "fail" && n == 2) return ConvertStringToInt(w[1].c_str(), 10) & 0xFF;
    if (name == "stderr") {
      Err((n > 1 ? w[1] : std::string()) + "\n");
      return 0;
    }
    if (name == "flood" && (n == 2 || n == 3)) return Flood(w);
    if (name == "sandbox" && n == 3 && w[1] == "add") return AddSandbox(w[2]);
    if (name == "sandbox" && n == 2 && w[1] == "list") {
      for (const std::string& root : state_.entry.Sandboxes()) Out(root + "\n");
      return 0;
    }
    if (name == "rerun-once" && n == 2) return RerunOnce(w[1]);
    if (name == "rerun-always") {
      // For tests of the front end's re-run bound: never satisfied.
      state_.RequestShutdown();
      return kRerunExitCode;
    }
    if (name == "daemon" && n == 2 && w[1] == "status") {
      std::string text = "program: " + state_.program + "\nversion: " + TREL_VERSION +
                         "\npid: " + std::to_string(::getpid()) +
                         "\nport: " + std::to_string(state_.port) +
                         "\nentry: " + state_.entry.dir() + "\n";
      for (const std::string& root : state_.entry.Sandboxes()) text += "sandbox: " + root + "\n";
      Out(text);
      return 0;
    }
    if (name == "daemon" && n == 2 && w[1] == "stop") {
      Out("stopping\n");
      state_.RequestShutdown();
      return 0;
    }
    if (name == "help" || name == "--help" || name == "-h") {
      Out(kHelp);
      return 0;
    }
    if (name == "version" || name == "--version") {
      Out(std::string(kTrelName) + " " + TREL_VERSION + "\n");
      return 0;
    }
    if (w.empty()) {  // no command at all: how to use it, as tools do
      Err(kHelp);
      return 2;
    }
    Err("unknown command: " + name + "\n");
    return 1;
  }

  int Cat() {
    Message reply;
    for (;;) {
      if (WriteMessage(&fd_, kTypeStdinRequest, "%s", std::to_string(kMaxConsoleRead)) != 0) {
        return 1;
      }
      if (Read(reply) != 0) return 1;
      if (reply.type == kTypeStdinClosed) return 0;
      if (reply.type != kTypeStdinResponse || reply.fields.empty()) return 1;
      // The copy and the next request leave together: one wake-up for the
      // front end per line instead of two.
      std::string_view text = reply.fields[0];
      if (WriteMessageFields(&fd_, kTypeStdout, "%s", &text, 1, SendMoreFlag()) != 0) return 1;
    }
  }

  int Login() {
    if (WriteMessage(&fd_, kTypePasswordRead, "%s%s", "Password: ", "true") != 0) return 1;
    Message reply;
    if (Read(reply) != 0 || reply.type != kTypePasswordEntered) return 1;
    if (!reply.fields.empty() && !reply.fields[0].empty()) return 0;
    Err("login: no password given\n");
    return 1;
  }

  int Flood(const std::vector<std::string>& w) {
    long long total = std::atoll(w[1].c_str());
    long long chunk = w.size() == 3 ? std::atoll(w[2].c_str()) : kFloodChunk;
    if (total < 0 || chunk <= 0 || chunk > (64 << 20)) {
      Err("flood: bad size\n");
      return 2;
    }
    std::string text;
    for (int i = 0; static_cast<long long>(text.size()) < chunk; ++i) {
      text += "flood line " + std::to_string(i) + " the quick brown fox\n";
    }
    text.resize(static_cast<size_t>(chunk));
    // Encoded once, sent many times: the daemon should never be the bottleneck.
    std::string_view field = text;
    std::string full = EncodeMessage(kTypeStdout, "%s", &field, 1);
    for (long long sent = 0; sent < total; sent += chunk) {
      if (total - sent < chunk) {
        Out(text.substr(0, static_cast<size_t>(total - sent)));
        break;
      }
      if (WriteAll(fd_, full.data(), full.size()) != 0) return 1;
    }
    return 0;
  }

  int AddSandbox(const std::string& given) {
    std::string root = InCommandDir(given);
    if (!state_.entry.AddSandbox(root)) {
      Err("sandbox: cannot update the registry entry\n");
      return 1;
    }
    Out("added " + root + "\n");
    return 0;
  }

  // Relative to the directory the command was sent from, not the daemon's.
  std::string InCommandDir(const std::string& path) const {
    return !path.empty() && path[0] == '/' ? path : command_.cwd + "/" + path;
  }

  int RerunOnce(const std::string& given) {
    std::string path = InCommandDir(given);
    struct stat info;
    if (::stat(path.c_str(), &info) == 0) {
      Out("re-run done\n");
      return 0;
    }
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0) CloseFd(fd);
    state_.RequestShutdown();
    return kRerunExitCode;
  }

  DaemonState& state_;
  Connection& connection_;
  int fd_;
  Command command_;
};

}  // namespace

void ServeConnection(DaemonState& state, int fd) {
  auto deadline = Clock::now() + std::chrono::milliseconds(state.connection_timeout_ms);
  Connection connection(fd);
  if (Handshake(state, connection, deadline)) {
    Session session(state, connection);
    if (session.ReadDescription(deadline)) session.Run();
  }
  ::shutdown(fd, SHUT_WR);
  CloseFd(fd);
}
