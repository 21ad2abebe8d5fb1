// The platform's firmware file access: a regular file opens; anything else is refused at once,
// without the open waiting on it.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <future>
#include <string>

#include "app/firmware_file.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#endif

namespace tovrel {
namespace {

std::string TempPath(const std::string& name) {
  return ::testing::TempDir() + name;
}

TEST(NativeFileSystem, OpensARegularFileAndReadsIt) {
  const std::string path = TempPath("tovrel-native-file.bin");
  std::ofstream(path, std::ios::binary) << "image bytes";
  const auto files = MakeNativeFileSystem();
  const auto file = files->OpenForReading(path.c_str());
  ASSERT_NE(file, nullptr);
  std::uint64_t size = 0;
  ASSERT_TRUE(file->Size(size));
  EXPECT_EQ(size, 11u);
  std::uint8_t buffer[16] = {};
  std::uint32_t got = 0;
  ASSERT_TRUE(file->Read(buffer, sizeof buffer, got));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(buffer), got), "image bytes");
  std::remove(path.c_str());
}

// Opens `path` on another thread, so that an open that blocks fails the test instead of hanging
// it; `unblock` then ends the wait.
bool RefusedAtOnce(const std::string& path, void (*unblock)(const std::string&) = nullptr) {
  const auto files = MakeNativeFileSystem();
  auto opening = std::async(std::launch::async,
                            [&] { return files->OpenForReading(path.c_str()) == nullptr; });
  if (opening.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
    if (unblock != nullptr) {
      unblock(path);
    }
    ADD_FAILURE() << "opening " << path << " blocked";
  }
  return opening.get();
}

TEST(NativeFileSystem, RefusesWhatIsNotThere) {
  EXPECT_TRUE(RefusedAtOnce(TempPath("tovrel-no-such-file.bin")));
}

TEST(NativeFileSystem, RefusesADirectory) {
  EXPECT_TRUE(RefusedAtOnce(::testing::TempDir()));
}

#ifdef _WIN32

TEST(NativeFileSystem, RefusesADeviceName) {
  EXPECT_TRUE(RefusedAtOnce("NUL"));
}

#else

TEST(NativeFileSystem, RefusesACharacterDevice) {
  EXPECT_TRUE(RefusedAtOnce("/dev/zero"));
  EXPECT_TRUE(RefusedAtOnce("/dev/null"));
}

TEST(NativeFileSystem, RefusesAFifoThatNobodyWritesTo) {
  const std::string path = TempPath("tovrel-native-fifo");
  ::unlink(path.c_str());
  ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
  EXPECT_TRUE(RefusedAtOnce(
      path, [](const std::string& fifo) { ::close(::open(fifo.c_str(), O_WRONLY | O_NONBLOCK)); }));
  ::unlink(path.c_str());
}

TEST(NativeFileSystem, RefusesASocket) {
  const std::string path = TempPath("tovrel-native-socket");
  ::unlink(path.c_str());
  const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(path.size(), sizeof address.sun_path);
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  ASSERT_EQ(::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  EXPECT_TRUE(RefusedAtOnce(path));
  ::close(listener);
  ::unlink(path.c_str());
}

#endif

}  // namespace
}  // namespace tovrel
