#pragma once
// STUN.ini: the two probe servers and the friend address. Engine (user-interface) thread only.

#include <cstdint>
#include <string>

// Addresses and ports in network byte order, as they travel in messages.
struct StunSettings {
    std::uint32_t server1Ip = 0;
    std::uint16_t server1Port = 0;
    std::uint32_t server2Ip = 0;
    std::uint16_t server2Port = 0;
    std::uint32_t friendIp = 0;  // 0 = no friend
};

// "STUN.ini" in the directory of the running executable.
std::string DefaultSettingsPath();

// Fills out (all zero first, then every key or its default); true when both server addresses and
// ports are non-zero. An empty path means DefaultSettingsPath(). Loading never creates the file.
bool LoadSettings(StunSettings& out, const std::string& path = {});

// Writes the five keys; arguments in host byte order (first octet in the most significant byte,
// ports as plain numbers, only their low 16 bits written). Every other key, section and comment
// of the file survives. Always true, as the callers expect.
bool SaveSettings(std::uint32_t server1Ip, std::uint32_t server1Port, std::uint32_t server2Ip,
                  std::uint32_t server2Port, std::uint32_t friendIp, const std::string& path = {});

// The e-mail report's recipient: key REPORT of section Setting, or the maker's support address.
std::string LoadReportRecipient(const std::string& path = {});

// The maker's web page and support address.
inline constexpr const char* kMakerWebPage = "https://tarnwick.example/";
inline constexpr const char* kMakerSupportAddress = "support@tarnwick.example";
