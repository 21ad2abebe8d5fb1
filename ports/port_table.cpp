#include "ports/port_table.h"

#include <algorithm>
#include <cstddef>

namespace tovrel::ports {
namespace {

constexpr char kColumnGap[] = "  ";
constexpr char kUnknown[] = "-";

const char* Heading(Column column) {
  switch (column) {
    case Column::kPort:
      return "PORT";
    case Column::kAccess:
      return "ACCESS";
    case Column::kDriver:
      return "DRIVER";
    case Column::kUsbId:
      return "VID:PID";
    case Column::kSerial:
      return "SERIAL";
    case Column::kManufacturer:
      return "MANUFACTURER";
    case Column::kProduct:
      return "PRODUCT";
    case Column::kById:
      return "BY-ID";
    case Column::kDescription:
      return "DESCRIPTION";
  }
  return "";
}

// Columns line up on a terminal when counted in characters: USB strings may hold UTF-8.
std::size_t DisplayWidth(const std::string& text) {
  return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0u) != 0x80u;
  }));
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// The digit run starting at `at`, without its leading zeros.
std::string DigitRun(const std::string& text, std::size_t& at) {
  const std::size_t start = at;
  while (at < text.size() && IsDigit(text[at])) {
    ++at;
  }
  std::size_t first = start;
  while (first + 1 < at && text[first] == '0') {
    ++first;
  }
  return text.substr(first, at - first);
}

}  // namespace

const std::string& FieldOf(const PortInfo& port, Column column) {
  switch (column) {
    case Column::kPort:
      return port.device;
    case Column::kAccess:
      return port.access;
    case Column::kDriver:
      return port.driver;
    case Column::kUsbId:
      return port.usb_id;
    case Column::kSerial:
      return port.serial;
    case Column::kManufacturer:
      return port.manufacturer;
    case Column::kProduct:
      return port.product;
    case Column::kById:
      return port.by_id;
    case Column::kDescription:
      return port.description;
  }
  return port.device;
}

const std::vector<Column>& LinuxColumns() {
  static const std::vector<Column> columns = {
      Column::kPort,   Column::kAccess,       Column::kDriver,  Column::kUsbId,
      Column::kSerial, Column::kManufacturer, Column::kProduct, Column::kById};
  return columns;
}

const std::vector<Column>& WindowsColumns() {
  static const std::vector<Column> columns = {Column::kPort,   Column::kDescription,
                                              Column::kDriver, Column::kUsbId,
                                              Column::kSerial, Column::kManufacturer};
  return columns;
}

bool NaturalLess(const std::string& a, const std::string& b) {
  std::size_t i = 0;
  std::size_t j = 0;
  while (i < a.size() && j < b.size()) {
    if (IsDigit(a[i]) && IsDigit(b[j])) {
      const std::string left = DigitRun(a, i);
      const std::string right = DigitRun(b, j);
      if (left.size() != right.size()) {
        return left.size() < right.size();
      }
      if (left != right) {
        return left < right;
      }
    } else {
      if (a[i] != b[j]) {
        return a[i] < b[j];
      }
      ++i;
      ++j;
    }
  }
  return a.size() - i < b.size() - j;
}

void SortByName(std::vector<PortInfo>& ports) {
  std::stable_sort(ports.begin(), ports.end(), [](const PortInfo& a, const PortInfo& b) {
    return NaturalLess(a.device, b.device);
  });
}

std::string FormatPortTable(std::vector<PortInfo> ports, const std::vector<Column>& columns) {
  if (ports.empty()) {
    return "No serial ports found.\n";
  }
  SortByName(ports);

  std::vector<std::vector<std::string>> rows;
  rows.emplace_back();
  for (Column column : columns) {
    rows.back().emplace_back(Heading(column));
  }
  for (const PortInfo& port : ports) {
    rows.emplace_back();
    for (Column column : columns) {
      const std::string& field = FieldOf(port, column);
      rows.back().push_back(field.empty() ? kUnknown : field);
    }
  }

  std::vector<std::size_t> widths(columns.size(), 0);
  for (const auto& row : rows) {
    for (std::size_t c = 0; c < row.size(); ++c) {
      widths[c] = std::max(widths[c], DisplayWidth(row[c]));
    }
  }
  std::string table;
  for (const auto& row : rows) {
    std::string line;
    for (std::size_t c = 0; c < row.size(); ++c) {
      line += row[c];
      if (c + 1 < row.size()) {
        line.append(widths[c] - DisplayWidth(row[c]), ' ');
        line += kColumnGap;
      }
    }
    table += line + "\n";
  }
  return table;
}

}  // namespace tovrel::ports
