#pragma once
// The classic verdict codes and their texts, as the check's log writes them. Both the Gatewise
// prober and the standard STUN check speak them (the STUN check maps its RFC 4787 findings onto
// them where they correspond). Any thread (pure functions).

#include <cstdint>
#include <string>
#include <vector>

enum NatFilterType : std::int32_t {
    FilterUnknown = 0,
    FilterOpen = 1,
    FilterFullCone = 2,
    FilterIpRestricted = 3,
    FilterPortRestricted = 4,
    FilterSymmetric = 5,
};

enum PortAllocRule : std::int32_t {
    AllocUnknown = 0,
    AllocNotSymmetric = 1,
    AllocAddressSensitive = 2,
    AllocPortSensitive = 3,
};

const char* FilterTypeText(std::int32_t code);  // "UNKNOWN" ... "SYMMETRIC"
const char* AllocRuleText(std::int32_t code);   // "UNKNOWN" ... "PORT SENSITIVE SYMMETRIC NAT"

// 81 asterisks: the frame of the start banner and of every summary.
inline constexpr const char* kAsteriskRow =
    "*****************************************************************************"
    "****";

// Writes a blank line, the asterisk row, the title (indented), a blank line, the lines, a blank
// line and the asterisk row to the log: the frame of every summary.
void LogFramedSummary(const char* title, const std::vector<std::string>& lines);
