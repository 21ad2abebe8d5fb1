#include "emulator/device_report.h"

#include <fstream>
#include <ostream>

namespace tovrel {

bool UpdateStarted(const EmulatedDevice& device) {
  return device.ReceivingImage() || device.ProgrammingComplete();
}

std::string DescribeDevice(const EmulatedDevice& device) {
  std::string text = std::to_string(device.CommandCount()) + " commands, ";
  if (!UpdateStarted(device)) {
    return text + "no image";
  }
  return text + "image " + std::to_string(device.Image().size()) + " of " +
         std::to_string(device.AnnouncedImageBytes()) + " bytes, " +
         (device.ProgrammingComplete() ? "complete" : "incomplete");
}

void SaveImage(const std::string& path, const EmulatedDevice& device, const char* program,
               std::ostream& out, std::ostream& err) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  const auto& image = device.Image();
  if (file) {
    file.write(reinterpret_cast<const char*>(image.data()),
               static_cast<std::streamsize>(image.size()));
    file.close();
  }
  if (!file) {
    err << program << ": cannot write the image to " << path << std::endl;
    return;
  }
  out << "image saved to " << path << " (" << image.size() << " bytes)" << std::endl;
}

}  // namespace tovrel
