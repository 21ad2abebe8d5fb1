#include "serial/win32/win32_serial_api.h"

#include <memory>

#include "serial/native_serial_api.h"
#include "serial/win32/dcb_conversion.h"
#include "serial/win32_open_failure_reason.h"

namespace tovrel {

namespace {

// The outcome of a kernel32 call that reports through its BOOL and GetLastError.
SysResult Checked(BOOL ok) {
  return ok != FALSE ? SysResult::Ok() : SysResult::Failed(::GetLastError());
}

}  // namespace

SysResult Win32SerialApi::OpenPort(const char* name, PortHandle& port) {
  port = FromWin32Handle(INVALID_HANDLE_VALUE);
  if (name == nullptr) {
    return SysResult::Failed(ERROR_INVALID_NAME);
  }
  const HANDLE opened = ::CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
  if (opened == INVALID_HANDLE_VALUE) {
    return SysResult::Failed(::GetLastError());
  }
  port = FromWin32Handle(opened);
  return SysResult::Ok();
}

SysResult Win32SerialApi::SetupQueues(PortHandle port, std::uint32_t input_bytes,
                                      std::uint32_t output_bytes) {
  return Checked(::SetupComm(ToWin32Handle(port), input_bytes, output_bytes));
}

SysResult Win32SerialApi::GetLineState(PortHandle port, DCB& state) {
  ::DCB theirs{};
  theirs.DCBlength = sizeof(theirs);
  const SysResult read = Checked(::GetCommState(ToWin32Handle(port), &theirs));
  if (read) {
    state = FromWin32Dcb(theirs);
  }
  return read;
}

SysResult Win32SerialApi::SetLineState(PortHandle port, const DCB& state) {
  ::DCB theirs = ToWin32Dcb(state);
  return Checked(::SetCommState(ToWin32Handle(port), &theirs));
}

SysResult Win32SerialApi::GetTimeouts(PortHandle port, COMMTIMEOUTS& timeouts) {
  ::COMMTIMEOUTS theirs{};
  const SysResult read = Checked(::GetCommTimeouts(ToWin32Handle(port), &theirs));
  if (read) {
    timeouts = FromWin32Timeouts(theirs);
  }
  return read;
}

SysResult Win32SerialApi::SetTimeouts(PortHandle port, const COMMTIMEOUTS& timeouts) {
  ::COMMTIMEOUTS theirs = ToWin32Timeouts(timeouts);
  return Checked(::SetCommTimeouts(ToWin32Handle(port), &theirs));
}

SysResult Win32SerialApi::GetModemStatus(PortHandle port, std::uint32_t& status) {
  DWORD lines = 0;
  const SysResult read = Checked(::GetCommModemStatus(ToWin32Handle(port), &lines));
  if (read) {
    status = lines;
  }
  return read;
}

SysResult Win32SerialApi::ClearDtr(PortHandle port) {
  return Checked(::EscapeCommFunction(ToWin32Handle(port), CLRDTR));
}

SysResult Win32SerialApi::Purge(PortHandle port, std::uint32_t flags) {
  return Checked(::PurgeComm(ToWin32Handle(port), flags));
}

SysResult Win32SerialApi::ClearErrors(PortHandle port) {
  DWORD errors = 0;
  COMSTAT status{};
  return Checked(::ClearCommError(ToWin32Handle(port), &errors, &status));
}

SysResult Win32SerialApi::ReadBytes(PortHandle port, std::uint8_t* buffer, std::uint32_t count,
                                    std::uint32_t& bytes_read) {
  bytes_read = 0;
  if (!stop_.BeginBlockingCall()) {
    return SysResult::Failed(ERROR_OPERATION_ABORTED);
  }
  DWORD got = 0;
  const SysResult read = Checked(::ReadFile(ToWin32Handle(port), buffer, count, &got, nullptr));
  stop_.EndBlockingCall();
  bytes_read = got;
  return read;
}

SysResult Win32SerialApi::WriteBytes(PortHandle port, const std::uint8_t* bytes,
                                     std::uint32_t count, std::uint32_t& bytes_written) {
  DWORD put = 0;
  const SysResult wrote = Checked(::WriteFile(ToWin32Handle(port), bytes, count, &put, nullptr));
  bytes_written = put;
  return wrote;
}

SysResult Win32SerialApi::Drain(PortHandle port) {
  return Checked(::FlushFileBuffers(ToWin32Handle(port)));
}

SysResult Win32SerialApi::ClosePort(PortHandle port) {
  return Checked(::CloseHandle(ToWin32Handle(port)));
}

std::string Win32SerialApi::ErrorText(std::uint32_t number) {
  return Win32ErrorText(number);
}

std::string Win32ErrorText(std::uint32_t number) {
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

SysResult Win32SerialApi::ReleaseLock(MutexHandle lock) {
  return Checked(::ReleaseMutex(ToWin32Handle(lock)));
}

void Win32SerialApi::DestroyLock(MutexHandle lock) {
  if (lock != kNoMutex) {
    (void)::CloseHandle(ToWin32Handle(lock));  // the mutex goes with the process either way
  }
}

std::uint32_t Win32SerialApi::CurrentThreadId() {
  return ::GetCurrentThreadId();
}

}  // namespace tovrel
