// Our serial names before <windows.h>, which would take them otherwise.
#include "serial/win32/dcb_conversion.h"
#include "serial/win32/win32_serial_api.h"

#include <string>

#include "app/report_file.h"

namespace tovrel {
namespace {

HANDLE Win32Handle(std::intptr_t handle) {
  return reinterpret_cast<HANDLE>(handle);
}

}  // namespace

ReportFile::ReportFile(const char* path, OutputSink& diagnostics) : diagnostics_(diagnostics) {
  if (path == nullptr || path[0] == '\0') {
    return;
  }
  path_ = path;
  // FILE_APPEND_DATA without FILE_WRITE_DATA: every write goes to the end of the file as it is
  // at that moment, whoever else is appending. Others may read, append, rename or delete it.
  const HANDLE file =
      ::CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    Say("cannot write the report to", Win32ErrorText(::GetLastError()));
    return;
  }
  handle_ = reinterpret_cast<std::intptr_t>(file);
}

ReportFile::~ReportFile() {
  if (IsOpen()) {
    ::CloseHandle(Win32Handle(handle_));
  }
}

bool ReportFile::Append(const std::string& line) {
  if (!IsOpen()) {
    return false;
  }
  DWORD written = 0;
  const BOOL ok = ::WriteFile(Win32Handle(handle_), line.data(), static_cast<DWORD>(line.size()),
                              &written, nullptr);
  if (!ok || written != line.size()) {
    Say("cannot write the report to", ok ? "written in part" : Win32ErrorText(::GetLastError()));
    return false;
  }
  // The record of what went into a unit is to outlast a power cut right after the update.
  ::FlushFileBuffers(Win32Handle(handle_));
  return true;
}

}  // namespace tovrel
