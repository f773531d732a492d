#include "programs/process_setup.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace tarn {
namespace {

bool is_closed(int fd) { return fcntl(fd, F_GETFD) == -1 && errno == EBADF; }

// open() gives the lowest free descriptor, so the closed ones are filled in order. When
// /dev/null cannot be opened the descriptor stays closed; nothing better is possible.
void fill_with_null(int fd) {
  const int opened = open("/dev/null", O_RDWR);
  if (opened >= 0 && opened != fd) close(opened);
}

}  // namespace

StandardStreams prepare_process() {
  StandardStreams streams;
  const bool closed[3] = {is_closed(0), is_closed(1), is_closed(2)};
  for (int fd = 0; fd < 3; ++fd) {
    if (closed[fd]) fill_with_null(fd);
  }
  streams.input_closed = closed[0];
  streams.output_closed = closed[1];
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  return streams;
}

}  // namespace tarn
