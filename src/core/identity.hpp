// The gateway's identity, written into every export.
#pragma once

#include <cstdint>

namespace norvalith {

struct DeviceIdentity {
    char name[100];       // host name, "---" when unknown
    char device_id[13];   // wired interface's hardware address, twelve hex digits
    char public_ip[16];   // WAN interface's IPv4 address, dotted
    char firmware[100];   // "Norvalith-" and the version file's first line
};

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
