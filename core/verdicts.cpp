#include "core/verdicts.h"

#include <iterator>

#include "core/log.h"
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

void LogFramedSummary(const char* title, const std::vector<std::string>& lines) {
    theLog.WriteLine("");
    theLog.WriteLine("%s", kAsteriskRow);
    theLog.WriteLine("        %s", title);
    theLog.WriteLine("");
    for (const std::string& line : lines)
        theLog.WriteLine("%s", line.c_str());
    theLog.WriteLine("");
    theLog.WriteLine("%s", kAsteriskRow);
}
