#include "core/verdicts.h"

#include <iterator>

#include "core/text_table.h"

const char* FilterTypeText(std::int32_t code) {
    static constexpr const char* kTexts[] = {
        "UNKNOWN", "OPEN", "FULL CONE", "IP RESTRICTED", "PORT RESTRICTED", "SYMMETRIC"};
    static_assert(std::size(kTexts) == FilterSymmetric + 1, "one text per NatFilterType");
    return TextOf(kTexts, code);
}

const char* AllocRuleText(std::int32_t code) {
    static constexpr const char* kTexts[] = {"UNKNOWN", "NOT SYMMETRIC NAT",
                                             "ADDRESS SENSITIVE SYMMETRIC NAT",
                                             "PORT SENSITIVE SYMMETRIC NAT"};
    static_assert(std::size(kTexts) == AllocPortSensitive + 1, "one text per PortAllocRule");
    return TextOf(kTexts, code);
}
