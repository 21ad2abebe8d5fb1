// The report file shared by runs that end together: each record lands whole, however many
// append at once, and a file that cannot be opened is said once without stopping anything.
#include "app/report_file.h"
#include "tests/support/wine.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace tovrel {
namespace {

// Wine appends where it last saw the file end, so racing appends overlap; Windows does not.
const bool kUnderWine = RunningUnderWine();

TEST(ReportFile, SixteenWritersAtOnceNeverInterleave) {
  if (kUnderWine) {
    GTEST_SKIP() << "wine does not append atomically (FILE_APPEND_DATA)";
  }
  const std::string path = ::testing::TempDir() + "tovrel-report-concurrent.jsonl";
  std::remove(path.c_str());
  constexpr int kWriters = 16, kRecords = 40;
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([&path, w] {
      // Each its own open file, as each run has; records far longer than a pipe's atomic size.
      ReportFile report(path.c_str(), DiscardedOutput());
      const std::string line(20000 + static_cast<std::size_t>(w), static_cast<char>('a' + w));
      for (int r = 0; r < kRecords; ++r) {
        ASSERT_TRUE(report.Append(line + "\n"));
      }
    });
  }
  for (std::thread& writer : writers) {
    writer.join();
  }
  std::map<std::string, int> seen;
  std::ifstream file(path, std::ios::binary);
  for (std::string line; std::getline(file, line);) {
    ++seen[line];
  }
  ASSERT_EQ(seen.size(), static_cast<std::size_t>(kWriters));
  for (const auto& [line, count] : seen) {
    EXPECT_EQ(line, std::string(20000 + static_cast<std::size_t>(line[0] - 'a'), line[0]));
    EXPECT_EQ(count, kRecords);
  }
}

TEST(ReportFile, ThatCannotBeOpenedIsSaidOnce) {
  StringSink diagnostics;
  ReportFile report("/nonexistent-tovrel-folder/r\x1b.jsonl", diagnostics);
  EXPECT_FALSE(report.Append("{}\n"));
  EXPECT_EQ(diagnostics.Text().substr(0, 77),
            "tovrel: cannot write the report to \"/nonexistent-tovrel-folder/r\\x1B.jsonl\": ");
  EXPECT_EQ(diagnostics.Text().find('\n'), diagnostics.Text().size() - 1) << "one line";
}

}  // namespace
}  // namespace tovrel
