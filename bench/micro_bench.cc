// Message reader and writer throughput over a real socket pair.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "platform/sys.h"
#include "protocol/connection.h"
#include "protocol/protocol.h"

namespace {

std::string TypicalText(size_t size) {
  std::string text;
  for (int i = 0; text.size() < size; ++i) text += "src/module_" + std::to_string(i) + ".cc: ok\n";
  text.resize(size);
  return text;
}

std::string EscapeHeavyText(size_t size) {
  std::string text;
  const char pattern[] = "a\"b\\c\n\r";
  while (text.size() < size) text += pattern;
  text.resize(size);
  return text;
}

// Writer side: WriteMessage into a socket another thread drains.
void WriteBench(benchmark::State& state, const std::string& text) {
  int fds[2];
  socketpair(AF_UNIX, SOCK_STREAM, 0, fds);
  std::thread drain([fd = fds[1]] {
    char buffer[1 << 16];
    while (read(fd, buffer, sizeof(buffer)) > 0) {
    }
  });
  for (auto _ : state) {
    if (WriteMessage(&fds[0], "stdout", "%s", text) != 0) state.SkipWithError("send failed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
  close(fds[0]);
  drain.join();
  close(fds[1]);
}

// Reader side: ReadMessage from a connection whose socket another thread
// keeps full, as the exchange reads (fields into the message here).
void ReadBench(benchmark::State& state, const std::string& text) {
  int fds[2];
  socketpair(AF_UNIX, SOCK_STREAM, 0, fds);
  std::string encoded;
  {
    int pair[2];
    socketpair(AF_UNIX, SOCK_STREAM, 0, pair);
    std::thread grab([&] {
      char buffer[1 << 16];
      ssize_t n;
      while ((n = read(pair[1], buffer, sizeof(buffer))) > 0) encoded.append(buffer, n);
    });
    (void)WriteMessage(&pair[0], "stdout", "%s", text);
    close(pair[0]);
    grab.join();
    close(pair[1]);
  }
  std::atomic<bool> stop{false};
  std::thread feed([&, fd = fds[1]] {
    while (!stop) {
      // Never SIGPIPE: the reader closes its end while this still writes.
      if (SendOnce(fd, encoded.data(), encoded.size(), 0) <= 0) return;
    }
  });
  Connection connection(fds[0]);
  Message message;
  for (auto _ : state) {
    if (ReadMessage(connection, message, nullptr, MessageLimits()) != 0) {
      state.SkipWithError("read failed");
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
  stop = true;
  close(fds[0]);
  feed.join();
  close(fds[1]);
}

void BM_WriteTypical(benchmark::State& s) { WriteBench(s, TypicalText(32768)); }
void BM_WriteEscapeHeavy(benchmark::State& s) { WriteBench(s, EscapeHeavyText(32768)); }
void BM_ReadTypical(benchmark::State& s) { ReadBench(s, TypicalText(32768)); }
void BM_ReadEscapeHeavy(benchmark::State& s) { ReadBench(s, EscapeHeavyText(32768)); }
BENCHMARK(BM_WriteTypical);
BENCHMARK(BM_WriteEscapeHeavy);
BENCHMARK(BM_ReadTypical);
BENCHMARK(BM_ReadEscapeHeavy);

}  // namespace

BENCHMARK_MAIN();
