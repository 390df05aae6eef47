#include "core/identity.hpp"

#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace norvalith {

namespace {

// One interface request on its own fresh socket, so one missing interface never
// affects another field. False when the socket or the request fails.
bool interface_request(const char* interface, unsigned long request, ifreq& result) {
    std::memset(&result, 0, sizeof result);
    const int sock = socket(AF_INET, SOCK_DGRAM, 0);
    if (sock < 0) {
        return false;
    }
    std::strncpy(result.ifr_name, interface, IFNAMSIZ - 1);
    const bool ok = ioctl(sock, request, &result) == 0;
    close(sock);
    return ok;
}

}  // namespace

void format_hardware_address(const std::uint8_t (&bytes)[6], char (&out)[13]) {
    std::snprintf(out, sizeof out, "%02X%02X%02X%02X%02X%02X", bytes[0], bytes[1], bytes[2], bytes[3], bytes[4],
                  bytes[5]);
}

void format_ipv4(const std::uint8_t (&bytes)[4], char (&out)[16]) {
    std::snprintf(out, sizeof out, "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
}

void read_host_name(char (&out)[100]) {
    char name[100] = {};
    if (gethostname(name, sizeof name) != 0) {
        std::snprintf(out, sizeof out, "---");
        return;
    }
    name[sizeof name - 1] = '\0';
    std::snprintf(out, sizeof out, "%s", name);
}

void read_hardware_address(const char* interface, char (&out)[13]) {
    ifreq request{};
    std::uint8_t bytes[6] = {};
    if (interface_request(interface, SIOCGIFHWADDR, request)) {
        std::memcpy(bytes, request.ifr_hwaddr.sa_data, sizeof bytes);
    }
    format_hardware_address(bytes, out);
}

void read_ipv4_address(const char* interface, char (&out)[16]) {
    ifreq request{};
    std::uint8_t bytes[4] = {};
    if (interface_request(interface, SIOCGIFADDR, request) && request.ifr_addr.sa_family == AF_INET) {
        sockaddr_in address{};
        std::memcpy(&address, &request.ifr_addr, sizeof address);
        std::memcpy(bytes, &address.sin_addr.s_addr, sizeof bytes);
    }
    format_ipv4(bytes, out);
}

void read_firmware(const char* version_path, char (&out)[100]) {
    std::FILE* file = std::fopen(version_path, "r");
    if (file == nullptr) {
        std::snprintf(out, sizeof out, "Norvalith---");
        return;
    }
    char line[20] = {};
    const bool got = std::fgets(line, sizeof line, file) != nullptr;
    std::fclose(file);
    std::snprintf(out, sizeof out, "Norvalith-%s", got ? line : "--");
}

void gather_identity(DeviceIdentity& identity, const char* wired_interface, const char* wan_interface,
                     const char* version_path) {
    read_host_name(identity.name);
    read_hardware_address(wired_interface, identity.device_id);
    read_ipv4_address(wan_interface, identity.public_ip);
    read_firmware(version_path, identity.firmware);
}

}  // namespace norvalith
