// A production line's run: GNU parallel drives one tovrel per port against sixteen emulated
// devices at once, each behind its own tovrel-emulator, one refusing the image, with one report
// file. Each device must get the image byte for byte, each job's exit status must show in the
// job log and in its record, and the whole run must take about as long as one update.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "emulator_process.h"
#include "tests/support/child_process.h"
#include "tests/support/test_files.h"

namespace tovrel::testing {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr int kDevices = 16;
constexpr char kRate[] = "115200";
constexpr std::size_t kImageBytes = 2048;

// The exit value of each job in a joblog, by the port in its command (which parallel may quote).
std::map<std::string, std::string> ExitValuesByPort(const std::string& joblog) {
  std::map<std::string, std::string> values;
  std::istringstream lines(joblog);
  std::string line;
  std::getline(lines, line);  // the heading
  while (std::getline(lines, line)) {
    std::vector<std::string> fields;
    std::istringstream columns(line);
    for (std::string field; std::getline(columns, field, '\t');) {
      fields.push_back(field);
    }
    if (fields.size() == 9) {
      const std::size_t port = fields[8].find("rfc2217://");
      const std::size_t end = fields[8].find_first_of("' ", port);
      values[fields[8].substr(port, end - port)] = fields[6];
    }
  }
  return values;
}

struct Device {
  std::unique_ptr<EmulatorProcess> emulator;
  fs::path saved;
  bool refuses = false;
};

class ManyDevices : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::string(TOVREL_PARALLEL).empty()) {
      GTEST_SKIP() << "GNU parallel is not installed";
    }
    // Its own folder, so that a second run of the suite on the machine cannot clear it.
    work_ = fs::path(::testing::TempDir()) / ("tovrel-many-devices-" + std::to_string(::getpid()));
    fs::remove_all(work_);
    fs::create_directories(work_);
    image_ = WriteTestImage((work_ / "firmware.bin").string(), kImageBytes);
  }

  // Kept when something failed, for the logs in it.
  void TearDown() override {
    if (!work_.empty() && !HasFailure()) {
      fs::remove_all(work_);
    }
  }

  Device StartDevice(const std::string& name, bool refuses) {
    Device device;
    device.saved = work_ / (name + ".received");
    device.refuses = refuses;
    std::vector<std::string> options = {"--once", "--baud", kRate, "--save-image",
                                        device.saved.string()};
    if (refuses) {
      options.insert(options.end(), {"--wrong-reply", "start"});
    }
    device.emulator = std::make_unique<EmulatorProcess>(options);
    return device;
  }

  fs::path work_;
  fs::path image_;
};

TEST_F(ManyDevices, ParallelFlashesSixteenAtOnceAndRecordsEachRun) {
  // One device alone first, for the time one update takes here.
  Device alone = StartDevice("alone", false);
  ASSERT_NE(alone.emulator->Port(), 0);
  const ProcessResult single =
      RunProcess({TOVREL_BINARY, image_.string(), alone.emulator->PortName(), kRate}, seconds(60));
  ASSERT_EQ(single.exit_status, 0) << single.standard_output;

  std::vector<Device> devices;
  std::ofstream ports(work_ / "ports.txt");
  for (int i = 0; i < kDevices; ++i) {
    devices.push_back(StartDevice("device-" + std::to_string(i), i == kDevices / 2));
    ASSERT_NE(devices.back().emulator->Port(), 0);
    ports << devices.back().emulator->PortName() << "\n";
  }
  ports.close();

  const fs::path joblog = work_ / "flash.joblog";
  const fs::path logs = work_ / "logs";
  const fs::path report = work_ / "flash.jsonl";
  const std::string sha256 = RunProcess({"/usr/bin/sha256sum", image_.string()}, seconds(10))
                                 .standard_output.substr(0, 64);
  const ProcessResult run =
      RunProcess({"/usr/bin/env", "TOVREL_REPORT=" + report.string(),
                  "TOVREL_EXPECT_SHA256=" + sha256, TOVREL_PARALLEL, "--jobs", "0", "--joblog",
                  joblog.string(), "--results", (logs / "{/}").string(), TOVREL_BINARY,
                  image_.string(), "{}", kRate, "::::", (work_ / "ports.txt").string()},
                 seconds(120));
  ASSERT_FALSE(run.timed_out);
  EXPECT_EQ(run.exit_status, 1) << "parallel's status counts the failed jobs\n"
                                << run.standard_error;

  const std::map<std::string, std::string> exit_values = ExitValuesByPort(ReadWholeFile(joblog));
  EXPECT_EQ(exit_values.size(), devices.size()) << ReadWholeFile(joblog);
  std::map<std::string, nlohmann::json> records;
  std::istringstream lines(ReadWholeFile(report));
  for (std::string line; std::getline(lines, line);) {
    const nlohmann::json record = nlohmann::json::parse(line, nullptr, false);
    ASSERT_TRUE(record.is_object()) << line;
    records[record.value("port", "")] = record;
  }
  EXPECT_EQ(records.size(), devices.size()) << ReadWholeFile(report);
  for (Device& device : devices) {
    const std::string port = device.emulator->PortName();
    const std::string exit_value = exit_values.count(port) == 1 ? exit_values.at(port) : "none";
    const std::string log_name = port.substr(port.rfind('/') + 1);
    const std::string output = ReadWholeFile(logs / log_name);
    const ProcessResult server = device.emulator->Process().Wait(seconds(10));
    const nlohmann::json record = records.count(port) == 1 ? records[port] : nlohmann::json();
    EXPECT_EQ(record.value("image_sha256", ""), sha256) << port;
    EXPECT_EQ(std::to_string(record.value("exit_status", -1)), exit_value) << port;
    EXPECT_EQ(record.value("outcome", ""), device.refuses ? "failed" : "complete") << port;
    if (device.refuses) {
      EXPECT_EQ(exit_value, "1") << port;
      EXPECT_EQ(output,
                "Product ID: VELMOR TP-200 FW 1.04\n"
                "Invalid response from Velmor\n")
          << port;
      EXPECT_EQ(server.exit_status, 1) << port;
    } else {
      EXPECT_EQ(exit_value, "0") << port;
      EXPECT_NE(output.find("Flash update complete!\n"), std::string::npos) << port << output;
      EXPECT_EQ(server.exit_status, 0) << port;
      EXPECT_EQ(ReadWholeFile(device.saved), ReadWholeFile(image_)) << port;
      EXPECT_EQ(record.value("sent_sha256", ""), sha256) << port;
    }
    EXPECT_EQ(ReadWholeFile(logs / (log_name + ".err")), "") << port;
  }

  std::cout << "[ figures  ] one update alone: " << single.elapsed.count() << " ms; "
            << devices.size() << " at once through parallel: " << run.elapsed.count() << " ms\n";
  // One after another they would take sixteen times as long; at once they take about as long as
  // one, plus what a loaded machine adds. The bound only has to tell the two apart.
  EXPECT_LT(run.elapsed, single.elapsed * 4);
}

}  // namespace
}  // namespace tovrel::testing
