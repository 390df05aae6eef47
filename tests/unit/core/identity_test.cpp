#include "core/identity.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "test_support.hpp"

namespace norvalith {
namespace {

std::string firmware_of(const std::string& path) {
    char out[100];
    read_firmware(path.c_str(), out);
    return out;
}

TEST(Identity, FirmwareIsTheVersionFilesFirstLineAsRead) {
    test::TempDir dir;
    dir.write("release", "1.4.2\nbuild 77\n");
    dir.write("long", "123456789012345678901234567890\n");
    dir.write("empty", "");
    EXPECT_EQ(firmware_of(dir.file("release")), "Norvalith-1.4.2\n");
    EXPECT_EQ(firmware_of(dir.file("long")), "Norvalith-1234567890123456789");
    EXPECT_EQ(firmware_of(dir.file("absent")), "Norvalith---");
    EXPECT_EQ(firmware_of(dir.file("empty")), "Norvalith---");
    EXPECT_EQ(firmware_of(dir.path()), "Norvalith---");
}

TEST(Identity, AddressFormats) {
    char hardware[13];
    format_hardware_address({0x00, 0x1A, 0x2B, 0xC3, 0xD4, 0xFF}, hardware);
    EXPECT_STREQ(hardware, "001A2BC3D4FF");
    char ip[16];
    format_ipv4({192, 168, 0, 1}, ip);
    EXPECT_STREQ(ip, "192.168.0.1");
    format_ipv4({255, 255, 255, 255}, ip);
    EXPECT_STREQ(ip, "255.255.255.255");
}

TEST(Identity, InterfacesAndHostName) {
    char hardware[13];
    char ip[16];
    read_hardware_address("nosuchif0", hardware);
    read_ipv4_address("nosuchif0", ip);
    EXPECT_STREQ(hardware, "000000000000");
    EXPECT_STREQ(ip, "0.0.0.0");

    read_hardware_address("lo", hardware);
    read_ipv4_address("lo", ip);
    EXPECT_STREQ(hardware, "000000000000");
    EXPECT_STREQ(ip, "127.0.0.1");

    // Each field on its own: a missing wired interface leaves the WAN address intact.
    test::TempDir dir;
    dir.write("version", "2.0\n");
    DeviceIdentity identity{};
    gather_identity(identity, "nosuchif0", "lo", dir.file("version").c_str());
    char host[100] = {};
    ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
    EXPECT_STREQ(identity.name, host);
    EXPECT_STREQ(identity.device_id, "000000000000");
    EXPECT_STREQ(identity.public_ip, "127.0.0.1");
    EXPECT_STREQ(identity.firmware, "Norvalith-2.0\n");
}

}  // namespace
}  // namespace norvalith
