#include "app/report_file.h"

#include "app/terminal_text.h"

namespace tovrel {

void ReportFile::Say(const std::string& what, const std::string& why) {
  const std::string line = "tovrel: " + what + " " + QuotedValue(path_) + ": " + why + "\n";
  diagnostics_.Write(line.data(), line.size());
  diagnostics_.Flush();
}

}  // namespace tovrel
