#include "serial/win32/win32_serial_api.h"

#include <memory>

#include "serial/native_serial_api.h"
#include "serial/win32/dcb_conversion.h"
#include "serial/win32_open_failure_reason.h"

namespace tovrel {

PortHandle Win32SerialApi::OpenPort(const char* name) {
  if (name == nullptr) {
    ::SetLastError(ERROR_INVALID_NAME);
    return FromWin32Handle(INVALID_HANDLE_VALUE);
  }
  const HANDLE port = ::CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  return FromWin32Handle(port);
}

bool Win32SerialApi::SetupQueues(PortHandle port, std::uint32_t input_bytes,
                                 std::uint32_t output_bytes) {
  return ::SetupComm(ToWin32Handle(port), input_bytes, output_bytes) != FALSE;
}

bool Win32SerialApi::GetLineState(PortHandle port, DCB& state) {
  ::DCB theirs{};
  theirs.DCBlength = sizeof(theirs);
  if (::GetCommState(ToWin32Handle(port), &theirs) == FALSE) {
    return false;
  }
  state = FromWin32Dcb(theirs);
  return true;
}

bool Win32SerialApi::SetLineState(PortHandle port, const DCB& state) {
  ::DCB theirs = ToWin32Dcb(state);
  return ::SetCommState(ToWin32Handle(port), &theirs) != FALSE;
}

bool Win32SerialApi::GetTimeouts(PortHandle port, COMMTIMEOUTS& timeouts) {
  ::COMMTIMEOUTS theirs{};
  if (::GetCommTimeouts(ToWin32Handle(port), &theirs) == FALSE) {
    return false;
  }
  timeouts = FromWin32Timeouts(theirs);
  return true;
}

bool Win32SerialApi::SetTimeouts(PortHandle port, const COMMTIMEOUTS& timeouts) {
  ::COMMTIMEOUTS theirs = ToWin32Timeouts(timeouts);
  return ::SetCommTimeouts(ToWin32Handle(port), &theirs) != FALSE;
}

bool Win32SerialApi::GetModemStatus(PortHandle port, std::uint32_t& status) {
  DWORD lines = 0;
  if (::GetCommModemStatus(ToWin32Handle(port), &lines) == FALSE) {
    return false;
  }
  status = lines;
  return true;
}

bool Win32SerialApi::ClearDtr(PortHandle port) {
  return ::EscapeCommFunction(ToWin32Handle(port), CLRDTR) != FALSE;
}

bool Win32SerialApi::Purge(PortHandle port, std::uint32_t flags) {
  return ::PurgeComm(ToWin32Handle(port), flags) != FALSE;
}

bool Win32SerialApi::ClearErrors(PortHandle port) {
  DWORD errors = 0;
  COMSTAT status{};
  return ::ClearCommError(ToWin32Handle(port), &errors, &status) != FALSE;
}

bool Win32SerialApi::ReadBytes(PortHandle port, std::uint8_t* buffer, std::uint32_t count,
                               std::uint32_t& bytes_read) {
  bytes_read = 0;
  if (!stop_.BeginBlockingCall()) {
    ::SetLastError(ERROR_OPERATION_ABORTED);
    return false;
  }
  DWORD got = 0;
  const BOOL ok = ::ReadFile(ToWin32Handle(port), buffer, count, &got, nullptr);
  const DWORD error = ::GetLastError();
  stop_.EndBlockingCall();
  ::SetLastError(error);
  bytes_read = got;
  return ok != FALSE;
}

bool Win32SerialApi::WriteBytes(PortHandle port, const std::uint8_t* bytes, std::uint32_t count,
                                std::uint32_t& bytes_written) {
  DWORD put = 0;
  const BOOL ok = ::WriteFile(ToWin32Handle(port), bytes, count, &put, nullptr);
  bytes_written = put;
  return ok != FALSE;
}

bool Win32SerialApi::Drain(PortHandle port) {
  return ::FlushFileBuffers(ToWin32Handle(port)) != FALSE;
}

bool Win32SerialApi::ClosePort(PortHandle port) {
  return ::CloseHandle(ToWin32Handle(port)) != FALSE;
}

std::uint32_t Win32SerialApi::LastErrorNumber() {
  return ::GetLastError();
}

std::string Win32SerialApi::ErrorText(std::uint32_t number) {
  char text[512] = {};
  const DWORD length = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, number, 0, text, sizeof text, nullptr);
  std::string message(text, length);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                              message.back() == ' ' || message.back() == '.')) {
    message.pop_back();
  }
  return message.empty() ? "error " + std::to_string(number) : message;
}

std::string Win32SerialApi::OpenFailureReason(const char* /*name*/, std::uint32_t number) {
  return Win32OpenFailureReason(number, ErrorText(number));
}

MutexHandle Win32SerialApi::CreateLock() {
  return FromWin32Handle(::CreateMutexA(nullptr, FALSE, nullptr));
}

WaitResult Win32SerialApi::WaitForLock(MutexHandle lock, std::uint32_t milliseconds) {
  return ToWaitResult(::WaitForSingleObject(ToWin32Handle(lock), milliseconds));
}

bool Win32SerialApi::ReleaseLock(MutexHandle lock) {
  return ::ReleaseMutex(ToWin32Handle(lock)) != FALSE;
}

void Win32SerialApi::DestroyLock(MutexHandle lock) {
  if (lock != kNoMutex) {
    ::CloseHandle(ToWin32Handle(lock));
  }
}

std::uint32_t Win32SerialApi::CurrentThreadId() {
  return ::GetCurrentThreadId();
}

}  // namespace tovrel
