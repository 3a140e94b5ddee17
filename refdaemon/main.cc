// trel --config DIR daemon start --connection-timeout MS --inactive-timeout MS [debug]
//
// Listens on 127.0.0.1, publishes its registry entry, prints "Port: " and
// "Key: ", detaches, and serves connections until it has been idle for the
// inactivity time-out, is told to stop, or gets SIGTERM/SIGINT.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "daemon.h"
#include "launch/launch.h"
#include "platform/descriptors.h"
#include "platform/paths.h"
#include "platform/random.h"
#include "platform/strings.h"
#include "platform/sys.h"
#include "registry/registry.h"
#include "trace/trace.h"

namespace {

DaemonState* g_state = nullptr;

void OnTerminate(int) { g_state->RequestShutdown(); }

int Usage(const char* why) {
  std::fprintf(stderr,
               "trel: %s\nusage: trel --config DIR daemon start --connection-timeout MS "
               "--inactive-timeout MS [debug-argument]\n",
               why);
  return 2;
}

bool ParseMs(const char* text, int fallback, int* out) {
  if (*text == '\0') {
    *out = fallback;
    return true;
  }
  int value = ConvertStringToInt(text, 10);
  if (value <= 0 || text[0] == '-') return false;
  *out = value;
  return true;
}

// Front ends connecting at once (a build running many commands).
constexpr int kListenBacklog = 128;
// trel --config DIR daemon start --connection-timeout MS
// --inactive-timeout MS, and in debug mode one more.
constexpr int kStartArguments = 9;

int Listen(int* port) {
  int fd = OpenStreamSocket();
  if (fd < 0) return -1;
  struct sockaddr_in address;
  std::memset(&address, 0, sizeof(address));
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      ::listen(fd, kListenBacklog) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::close(fd);
    return -1;
  }
  *port = ntohs(address.sin_port);
  return fd;
}

// The directory it was started in stays free (its file system can be
// unmounted): every path the daemon keeps is absolute.
void Detach() {
  int null_fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null_fd >= 0) {
    for (int fd = 0; fd <= 2; ++fd) (void)::dup2(null_fd, fd);
    ::close(null_fd);
  }
  ::setsid();
  if (::chdir("/") != 0) {
    // Nothing depends on the working directory any more.
  }
}

std::string Absolute(const std::string& path) {
  if (!path.empty() && path[0] == '/') return path;
  std::string cwd;
  GetCWD(cwd);
  return cwd + "/" + path;
}

}  // namespace

void DaemonState::Wake() {
  char byte = 1;
  ssize_t ignored = ::write(wake_fd, &byte, 1);  // async-signal-safe
  (void)ignored;
}

void DaemonState::RequestShutdown() {
  shutdown = true;
  Wake();
}

int main(int argc, char** argv) {
  // Descriptors inherited from whoever started us (quarn's pipes are 1
  // and 2, a test harness may pass more): none may stay open.
  CloseDescriptorsAbove2();
  TraceFreezeSwitch();  // its environment never changes: no lookup per message
  if (argc != kStartArguments && argc != kStartArguments + 1) {
    return Usage("wrong number of arguments");
  }
  if (std::strcmp(argv[1], "--config") != 0 || std::strcmp(argv[3], "daemon") != 0 ||
      std::strcmp(argv[4], "start") != 0 || std::strcmp(argv[5], "--connection-timeout") != 0 ||
      std::strcmp(argv[7], "--inactive-timeout") != 0) {
    return Usage("unexpected arguments");
  }
  static DaemonState state;
  // An empty time-out takes the default a front end would have passed.
  int inactive_ms = 0;
  if (!ParseMs(argv[6], ConvertStringToInt(kDefaultConnectionTimeoutMs, 10),
               &state.connection_timeout_ms) ||
      !ParseMs(argv[8], ConvertStringToInt(kDefaultInactiveTimeoutMs, 10), &inactive_ms)) {
    return Usage("time-outs must be positive numbers of milliseconds");
  }
  if (argv[2][0] == '\0') return Usage("empty configuration directory");

  int wake[2];
  if (OpenPipe(wake, true) != 0) return Usage("cannot create a pipe");
  state.wake_fd = wake[1];
  g_state = &state;
  ::signal(SIGPIPE, SIG_IGN);
  struct sigaction terminate;
  std::memset(&terminate, 0, sizeof(terminate));
  terminate.sa_handler = &OnTerminate;
  ::sigaction(SIGTERM, &terminate, nullptr);
  ::sigaction(SIGINT, &terminate, nullptr);

  // Which program serves: a daemon started from a build tree and one
  // installed look alike otherwise, and one whose file was removed says so.
  if (!RunningProgramPath(state.program)) state.program = argv[0];
  int listener = Listen(&state.port);
  if (listener < 0) {
    std::fprintf(stderr, "trel: cannot listen on 127.0.0.1: %s\n", std::strerror(errno));
    return 1;
  }
  unsigned char key[kKeyBytes];
  if (!FillRandom(key, sizeof(key))) {
    std::fprintf(stderr, "trel: cannot read the system's random source\n");
    return 1;
  }
  GenerateKeyString(key, state.key_text);
  // A daemon may print its key in a form of its own; this one can print
  // the digits in lower case, to show that front ends take either.
  state.key_line = state.key_text;
  if (std::getenv("TREL_REFERENCE_KEY_LOWER_CASE") != nullptr) {
    for (char& c : state.key_line)
      c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  std::string error = state.entry.Publish(Absolute(argv[2]), state.port, key);
  if (!error.empty()) {
    std::fprintf(stderr, "trel: %s\n", error.c_str());
    state.entry.Remove();
    return 1;
  }
  std::string ready = "Port: " + std::to_string(state.port) + "\nKey: " + state.key_line + "\n";
  if (WriteAll(STDOUT_FILENO, ready.data(), ready.size()) != 0) {
    state.entry.Remove();
    return 1;
  }
  Detach();

  // Shutting down, the entry goes first so that no front end finds us any
  // more; connections that found us just before are still served until the
  // daemon has been quiet for a moment.
  using Clock = std::chrono::steady_clock;
  constexpr long long kDrainMs = 200;
  auto idle_since = Clock::now();
  bool removed = false;
  for (;;) {
    auto now = Clock::now();
    if (state.active > 0) idle_since = now;
    long long idle =
        std::chrono::duration_cast<std::chrono::milliseconds>(now - idle_since).count();
    if (!removed && state.active == 0 && idle >= inactive_ms) state.shutdown = true;
    if (state.shutdown && !removed) {
      state.entry.Remove();
      removed = true;
      idle_since = now;
      idle = 0;
    }
    if (removed && state.active == 0 && idle >= kDrainMs) break;
    long long limit = removed ? kDrainMs : inactive_ms;
    int poll_ms = static_cast<int>(std::max<long long>(1, std::min<long long>(1000, limit - idle)));
    struct pollfd fds[2] = {{listener, POLLIN, 0}, {wake[0], POLLIN, 0}};
    int ready_count = ::poll(fds, 2, poll_ms);
    if (ready_count < 0 && errno != EINTR) break;
    if (fds[1].revents & POLLIN) {
      char drain[64];
      while (::read(wake[0], drain, sizeof(drain)) > 0) {
      }
      if (state.active == 0) idle_since = Clock::now();  // a connection just ended
    }
    if (!(fds[0].revents & POLLIN)) continue;
    int fd = AcceptConnection(listener);
    if (fd < 0) continue;
    int one = 1;  // every send is a whole message: no Nagle delay
    (void)::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    ++state.active;
    std::thread([fd] {
      ServeConnection(state, fd);
      --state.active;
      state.Wake();  // restarts the idle clock
    }).detach();
  }
  ::close(listener);
  return 0;
}
