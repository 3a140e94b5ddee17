#include "platform/random.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/features.h"
#include "platform/sys.h"

#if QUARN_HAVE_GETRANDOM
#include <sys/random.h>
#endif

bool FillRandom(unsigned char* bytes, size_t size) {
#if QUARN_HAVE_GETRANDOM
  while (size > 0) {
    ssize_t n = ::getrandom(bytes, size, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    size -= static_cast<size_t>(n);
  }
  return true;
#else
  UniqueFd source(::open("/dev/urandom", O_RDONLY | O_CLOEXEC | O_NOCTTY));
  while (source.Valid() && size > 0) {
    ssize_t n = Sys().read(source.Get(), bytes, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    size -= static_cast<size_t>(n);
  }
  return source.Valid();
#endif
}
