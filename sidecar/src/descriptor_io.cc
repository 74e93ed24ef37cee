#include "descriptor_io.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace sidecar {
namespace {

// Waits until `fd` is ready for `events`; false if poll itself failed. A
// hang-up or error counts as ready: the next read or write reports it.
bool wait_for(int fd, short events) {
  pollfd entry{fd, events, 0};
  for (;;) {
    if (::poll(&entry, 1, -1) >= 0) return true;
    if (errno != EINTR) return false;
  }
}

bool would_block(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

}  // namespace

bool readable_now(int fd) {
  pollfd entry{fd, POLLIN, 0};
  return ::poll(&entry, 1, 0) != 0;
}

std::ptrdiff_t read_some(int fd, char* buffer, std::size_t size) {
  for (;;) {
    const ssize_t got = ::read(fd, buffer, size);
    if (got >= 0) return got;
    if (errno == EINTR) continue;
    if (!would_block(errno) || !wait_for(fd, POLLIN)) return -1;
  }
}

bool write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(written));
    } else if (written < 0 && errno == EINTR) {
      continue;
    } else if (written < 0 && would_block(errno)) {
      if (!wait_for(fd, POLLOUT)) return false;
    } else {
      return false;
    }
  }
  return true;
}

void widen_pipe(int fd) {
#if defined(F_SETPIPE_SZ)
  // The most an unprivileged process may ask for by default.
  constexpr int kWide = 1 << 20;
  const int size = ::fcntl(fd, F_GETPIPE_SZ);
  if (size >= 0 && size < kWide) ::fcntl(fd, F_SETPIPE_SZ, kWide);
#else
  (void)fd;
#endif
}

}  // namespace sidecar
