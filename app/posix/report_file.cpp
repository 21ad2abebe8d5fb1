#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "app/report_file.h"

namespace tovrel {

ReportFile::ReportFile(const char* path, OutputSink& diagnostics) : diagnostics_(diagnostics) {
  if (path == nullptr || path[0] == '\0') {
    return;
  }
  path_ = path;
  // O_NONBLOCK: a FIFO nobody reads must not block the open (it fails with ENXIO instead), nor
  // a full one the write. A regular file does not notice.
  int fd = -1;
  do {
    fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    Say("cannot write the report to", std::strerror(errno));
    return;
  }
  handle_ = fd;
}

ReportFile::~ReportFile() {
  if (IsOpen()) {
    ::close(static_cast<int>(handle_));
  }
}

bool ReportFile::Append(const std::string& line) {
  if (!IsOpen()) {
    return false;
  }
  ssize_t written = -1;
  do {
    written = ::write(static_cast<int>(handle_), line.data(), line.size());
  } while (written < 0 && errno == EINTR);
  if (written != static_cast<ssize_t>(line.size())) {
    Say("cannot write the report to", written < 0 ? std::strerror(errno) : "written in part");
    return false;
  }
  // The record of what went into a unit is to outlast a power cut right after the update. A
  // pipe or terminal has nothing to flush, which is no failure.
  ::fsync(static_cast<int>(handle_));
  return true;
}

}  // namespace tovrel
