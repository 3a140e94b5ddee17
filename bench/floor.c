/* The floor: the least a client can do for the same exchange. It sends a
 * pre-recorded handshake and command description in one write and reads
 * the daemon's reply to the end without decoding it, writing what it reads
 * to its standard output as a relaying client must. No project code.
 *
 * It also measures the registry protocol's own cost: what one lookup
 * cannot avoid on a given file system, with nothing else.
 *
 *   floor record FILE KEY CWD ARG...   write the request bytes for a command
 *                                      with this process's environment
 *   floor run PORT FILE                send FILE, copy the reply to stdout
 *   floor protocol DIR COUNT PACE_US   COUNT lookups' lock-file cycles and
 *                                      directory reads in DIR, PACE_US apart;
 *                                      prints the median in microseconds */
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#ifndef MSG_NOSIGNAL
#define MSG_NOSIGNAL 0 /* a system without it: SIGPIPE is ignored instead */
#endif

extern char** environ;

static void put_field(FILE* out, const char* text, size_t length) {
  fputs(" \"", out);
  for (size_t i = 0; i < length; ++i) {
    unsigned char c = (unsigned char)text[i];
    if (c == '\n' || c == '\r' || c == '"' || c == '\\') {
      fprintf(out, "\\%02x", c);
    } else {
      fputc(c, out);
    }
  }
  fputc('"', out);
}

static int record(int argc, char** argv) {
  FILE* out = fopen(argv[2], "wb");
  if (!out) return 2;
  fprintf(
      out,
      "GET /com.dorvane.team.filesystem.cli.client.internal.daemon.CommandLineClient HTTP/1.1\r\n"
      "X-Secret-Key: %s\r\nAccept-Charset: UTF-8\r\nConnection: Upgrade\r\n"
      "Upgrade: vnd.dorvane.mellix.cli.minimal-1.0\r\n\r\n",
      argv[3]);
  fputs("app.", out);
  put_field(out, "quarn", 5);
  fputc('\n', out);
  for (int i = 5; i < argc; ++i) {
    fputs("arg.", out);
    put_field(out, argv[i], strlen(argv[i]));
    fputc('\n', out);
  }
  for (char** e = environ; *e; ++e) {
    const char* eq = strchr(*e, '=');
    fputs("env.", out);
    if (eq && eq != *e) {
      put_field(out, *e, (size_t)(eq - *e));
      put_field(out, eq + 1, strlen(eq + 1));
    } else {
      put_field(out, "", 0);
      put_field(out, "", 0);
    }
    fputc('\n', out);
  }
  fputs("cwd.", out);
  put_field(out, argv[4], strlen(argv[4]));
  fputs("\npreamble-done.\n", out);
  return fclose(out) == 0 ? 0 : 2;
}

static int run(const char* port_text, const char* path) {
  static char request[1 << 20];
  int file = open(path, O_RDONLY | O_CLOEXEC);
  if (file < 0) return 2;
  ssize_t size = read(file, request, sizeof(request));
  close(file);
  if (size <= 0) return 2;
  if (MSG_NOSIGNAL == 0) signal(SIGPIPE, SIG_IGN);
  int fd = socket(AF_INET, SOCK_STREAM, 0);  // never inherited: the floor runs nothing
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  struct sockaddr_in address;
  memset(&address, 0, sizeof(address));
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons((unsigned short)atoi(port_text));
  if (connect(fd, (struct sockaddr*)&address, sizeof(address)) != 0) return 3;
  for (ssize_t sent = 0; sent < size;) {
    ssize_t n = send(fd, request + sent, (size_t)(size - sent), MSG_NOSIGNAL);
    if (n <= 0) return 4;
    sent += n;
  }
  static char buffer[1 << 16];
  ssize_t got;
  while ((got = recv(fd, buffer, sizeof(buffer), 0)) > 0) {
    for (ssize_t done = 0; done < got;) {
      ssize_t n = write(1, buffer + done, (size_t)(got - done));
      if (n <= 0) return 5;
      done += n;
    }
  }
  close(fd);
  return 0;
}

static double now_us(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (double)ts.tv_sec * 1e6 + (double)ts.tv_nsec / 1e3;
}

/* A lock file's whole cycle: created, locked, deleted while held, unlocked
 * and closed, as the registry's locks are. */
static int lock_cycle(int dir) {
  int fd = openat(dir, "lock", O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0 || lockf(fd, F_TLOCK, 0) != 0) return -1;
  int ok = unlinkat(dir, "lock", 0) == 0 && lockf(fd, F_ULOCK, 0) == 0;
  return close(fd) == 0 && ok ? 0 : -1;
}

static int list(int dir) {
  int copy = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* listing = copy < 0 ? NULL : fdopendir(copy);
  if (listing == NULL) return -1;
  while (readdir(listing) != NULL) continue;
  return closedir(listing);
}

static int compare(const void* a, const void* b) {
  double x = *(const double*)a, y = *(const double*)b;
  return (x > y) - (x < y);
}

/* One lookup is two passes over a registry holding one entry: each takes
 * the registry's lock, lists the registry, and takes the entry's lock. */
static int protocol(const char* registry, int count, int pace_us) {
  char entry[4096];
  snprintf(entry, sizeof(entry), "%s/entry", registry);
  mkdir(registry, 0700);
  mkdir(entry, 0700);
  int reg = open(registry, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  int ent = open(entry, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  double* times = malloc(sizeof(double) * (size_t)count);
  if (reg < 0 || ent < 0 || times == NULL || count <= 0) return 2;
  for (int i = 0; i < count; ++i) {
    if (pace_us > 0) usleep((useconds_t)pace_us);
    double start = now_us();
    for (int pass = 0; pass < 2; ++pass) {
      if (lock_cycle(reg) != 0 || list(reg) != 0 || lock_cycle(ent) != 0) return 3;
    }
    times[i] = now_us() - start;
  }
  qsort(times, (size_t)count, sizeof(double), compare);
  printf("%.3f\n", count % 2 ? times[count / 2] : (times[count / 2 - 1] + times[count / 2]) / 2);
  free(times);
  return 0;
}

int main(int argc, char** argv) {
  if (argc == 5 && strcmp(argv[1], "protocol") == 0) {
    return protocol(argv[2], atoi(argv[3]), atoi(argv[4]));
  }
  if (argc >= 5 && strcmp(argv[1], "record") == 0) return record(argc, argv);
  if (argc == 4 && strcmp(argv[1], "run") == 0) return run(argv[2], argv[3]);
  fprintf(stderr,
          "usage: floor record FILE KEY CWD ARG... | floor run PORT FILE | "
          "floor protocol DIR COUNT PACE_US\n");
  return 2;
}
