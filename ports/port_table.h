// The port list as plain text: a heading line, then one port a line, in columns aligned with
// spaces, ports in natural order (ttyUSB2 before ttyUSB10, COM2 before COM10).
#pragma once

#include <string>
#include <vector>

#include "ports/port_info.h"

namespace tovrel::ports {

enum class Column {
  kPort,
  kAccess,
  kDriver,
  kUsbId,
  kSerial,
  kManufacturer,
  kProduct,
  kById,
  kDescription
};

// The columns of each platform's list.
const std::vector<Column>& LinuxColumns();
const std::vector<Column>& WindowsColumns();

// True when `a` comes before `b`, comparing runs of digits by their value.
bool NaturalLess(const std::string& a, const std::string& b);

// The ports in natural order of their names.
void SortByName(std::vector<PortInfo>& ports);

// What `port` holds for `column`; empty when the system does not say.
const std::string& FieldOf(const PortInfo& port, Column column);

// The whole table, each line ending in a line break; "No serial ports found.\n" for none.
std::string FormatPortTable(std::vector<PortInfo> ports, const std::vector<Column>& columns);

}  // namespace tovrel::ports
