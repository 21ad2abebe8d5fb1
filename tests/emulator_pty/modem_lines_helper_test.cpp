// The preloaded modem-line helper, loaded here with dlopen and called directly: it answers the
// modem-line calls on the shared terminal from the shared lines, and leaves every other call to
// the system.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <string>

#include "emulator/pty/modem_line_block.h"

namespace tovrel::pty {
namespace {

using Ioctl = int (*)(int, unsigned long, ...);

TEST(ModemLinesHelper, AnswersTheSharedTerminalsModemLineCallsOnly) {
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(::grantpt(master), 0);
  ASSERT_EQ(::unlockpt(master), 0);
  const int terminal = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
  ASSERT_GE(terminal, 0);
  struct stat info;
  ASSERT_EQ(::fstat(terminal, &info), 0);
  const std::string path = ::testing::TempDir() + "tovrel-helper-" + std::to_string(::getpid());
  {
    const ModemLineMapping shared = ModemLineMapping::Create(path, info.st_rdev);
    ASSERT_TRUE(shared.IsMapped());
    ModemLines& lines = shared.Lines();
    ::setenv(kModemLinesVariable, path.c_str(), 1);
    void* helper = ::dlopen(TOVREL_MODEM_LINES_HELPER, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(helper, nullptr) << ::dlerror();
    const auto call = reinterpret_cast<Ioctl>(::dlsym(helper, "ioctl"));
    ASSERT_NE(call, nullptr);

    // The device drives CTS; DTR and RTS start on, as a driver leaves them at the open.
    lines.device_lines = TIOCM_CTS;
    int bits = 0;
    ASSERT_EQ(call(terminal, TIOCMGET, &bits), 0);
    EXPECT_EQ(bits, TIOCM_CTS | TIOCM_DTR | TIOCM_RTS);
    EXPECT_EQ(lines.line_reads.load(), 1u);

    bits = TIOCM_RTS;
    ASSERT_EQ(call(terminal, TIOCMBIC, &bits), 0);
    EXPECT_EQ(lines.host_lines.load(), std::uint32_t{TIOCM_DTR});
    bits = TIOCM_RTS | TIOCM_CTS;  // CTS is the device's to drive
    ASSERT_EQ(call(terminal, TIOCMBIS, &bits), 0);
    EXPECT_EQ(lines.host_lines.load(), std::uint32_t{TIOCM_DTR | TIOCM_RTS});
    EXPECT_EQ(lines.device_lines.load(), std::uint32_t{TIOCM_CTS});
    bits = TIOCM_RTS;
    ASSERT_EQ(call(terminal, TIOCMSET, &bits), 0);
    EXPECT_EQ(lines.host_lines.load(), std::uint32_t{TIOCM_RTS});
    EXPECT_EQ(lines.host_changes.load(), 3u);
    bits = TIOCM_RTS;
    ASSERT_EQ(call(terminal, TIOCMBIS, &bits), 0);  // no change
    EXPECT_EQ(lines.host_changes.load(), 3u);

    // Any other descriptor, and any other call, is the system's: a pseudo-terminal has no lines.
    EXPECT_EQ(call(master, TIOCMGET, &bits), -1);
    termios settings{};
    EXPECT_EQ(call(terminal, TCGETS, &settings), 0);
    ::dlclose(helper);
  }
  ::unlink(path.c_str());
  ::close(terminal);
  ::close(master);
}

}  // namespace
}  // namespace tovrel::pty
