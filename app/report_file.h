// The file TOVREL_REPORT names, shared by every run of a station or a fleet: each run appends
// its record with a single write to a file opened for appending only (O_APPEND on POSIX,
// FILE_APPEND_DATA on Windows), so that the system puts each record whole at the end of the
// file, and runs started together (GNU parallel) never interleave their lines.
#pragma once

#include <cstdint>
#include <string>

#include "app/console.h"

namespace tovrel {

class ReportFile {
 public:
  // `path` null or empty: no report. A file that cannot be opened (created if missing) is said
  // on `diagnostics` in one line, and the run goes on without a report.
  ReportFile(const char* path, OutputSink& diagnostics);
  ~ReportFile();
  ReportFile(const ReportFile&) = delete;
  ReportFile& operator=(const ReportFile&) = delete;

  bool IsOpen() const { return handle_ != kClosed; }
  // Appends `line` in one write and flushes it to the disk. False, after one line on the
  // diagnostics, when it did not all go; nothing is written when no file is open.
  bool Append(const std::string& line);

 private:
  static constexpr std::intptr_t kClosed = -1;

  void Say(const std::string& what, const std::string& why);

  OutputSink& diagnostics_;
  std::string path_;
  std::intptr_t handle_ = kClosed;
};

}  // namespace tovrel
