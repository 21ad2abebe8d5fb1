// Why a terminal did not open, in words for the person at the keyboard, and who holds a port
// that is busy.
#pragma once

#include <cstdint>
#include <string>

namespace tovrel::posix_serial {

// The reason for an open that failed with `error_number`. `holder_pid` is the process that holds
// the port's lock when it is known (0 when not).
std::string OpenFailureReason(int error_number, long holder_pid);

// The process holding a lock on the file whose inode `inode` lives on the file system with
// device numbers `major`:`minor`, as /proc/locks (given as `proc_locks`) tells it; 0 when none.
long LockHolderInProcLocks(const std::string& proc_locks, unsigned major, unsigned minor,
                           std::uint64_t inode);

// The process holding a lock on the file at `path`, from the system's lock table; 0 when the
// system cannot tell.
long LockHolderOf(const char* path);

// strerror, safe to call from any thread.
std::string SystemErrorText(int error_number);

}  // namespace tovrel::posix_serial
