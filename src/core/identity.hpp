// Gathering the gateway's identity (host name, interfaces, version file) at start.
#pragma once

#include <cstdint>

#include "telegram/export.hpp"

namespace norvalith {

// "%02X" x 6, no separators.
void format_hardware_address(const std::uint8_t (&bytes)[6], char (&out)[13]);
// "%u.%u.%u.%u", most significant byte first.
void format_ipv4(const std::uint8_t (&bytes)[4], char (&out)[16]);

void read_host_name(char (&out)[100]);
// Twelve zero digits when the interface or its address cannot be had.
void read_hardware_address(const char* interface, char (&out)[13]);
// 0.0.0.0 when the interface or its address cannot be had.
void read_ipv4_address(const char* interface, char (&out)[16]);
// "Norvalith-" with the file's first line as read into 20 bytes (line feed kept);
// "Norvalith---" when the file cannot be opened or is empty.
void read_firmware(const char* version_path, char (&out)[100]);

void gather_identity(DeviceIdentity& identity, const char* wired_interface, const char* wan_interface,
                     const char* version_path);

}  // namespace norvalith
