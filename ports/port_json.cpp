#include "ports/port_json.h"

#include <nlohmann/json.hpp>

namespace tovrel::ports {
namespace {

using Json = nlohmann::ordered_json;

const char* Key(Column column) {
  switch (column) {
    case Column::kPort:
      return "port";
    case Column::kAccess:
      return "access";
    case Column::kDriver:
      return "driver";
    case Column::kUsbId:
      return "vid_pid";
    case Column::kSerial:
      return "serial";
    case Column::kManufacturer:
      return "manufacturer";
    case Column::kProduct:
      return "product";
    case Column::kById:
      return "by_id";
    case Column::kDescription:
      return "description";
  }
  return "";
}

}  // namespace

std::string FormatPortJson(std::vector<PortInfo> ports, const std::vector<Column>& columns) {
  SortByName(ports);
  std::string text = "[";
  for (const PortInfo& port : ports) {
    Json object = Json::object();
    for (const Column column : columns) {
      const std::string& field = FieldOf(port, column);
      object[Key(column)] = field.empty() ? Json(nullptr) : Json(field);
    }
    text += text.size() == 1 ? "\n" : ",\n";
    // USB strings are the device's: bad UTF-8 is replaced, every control byte escaped.
    text += object.dump(-1, ' ', true, Json::error_handler_t::replace);
  }
  return text + (ports.empty() ? "]\n" : "\n]\n");
}

}  // namespace tovrel::ports
