#include "core/settings.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <utility>

#include "core/exe_path.h"
#include "core/host_resolver.h"
#include "core/log.h"
#include "core/profile.h"
#include "core/sys_inet.h"

namespace {

constexpr const char* kSection = "Setting";
// Read buffers in bytes, NUL included: 49 characters of an address or port, 259 of the recipient.
constexpr std::size_t kValueBuffer = 50;
constexpr std::size_t kReportBuffer = 260;
// A host name of up to 253 characters, ':' and a port fit in 260 bytes with the NUL.
constexpr std::size_t kStunServerBuffer = 260;

std::string PathOrDefault(const std::string& path) {
    return path.empty() ? DefaultSettingsPath() : path;
}

std::filesystem::path Utf8Path(const std::string& text) {
    return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

// The user's settings directory need not exist before the first save there; any other directory
// is the user's to make (a save into a missing one fails and says so).
const std::string& ForSaving(const std::string& file) {
    const std::string userDir = UserSettingsDirectory();
    if (!userDir.empty() && file == userDir + "STUN.ini") {
        std::error_code ignored;  // a failure shows in the save itself
        std::filesystem::create_directories(Utf8Path(userDir), ignored);
    }
    return file;
}

// The keys in file order, their defaults and how the log names them. Seventy, not 1170: the first
// server's default port differs from the second's.
// Value: std::uint32_t for an address, std::uint16_t for a port.
template <class Value>
struct SettingKey {
    const char* key;
    const char* defaultValue;
    const char* logName;
    std::string SettingsText::*text;
    Value StunSettings::*field;
    bool AddressLookup::*wanted;
};
using AddressKey = SettingKey<std::uint32_t>;
using PortKey = SettingKey<std::uint16_t>;
constexpr AddressKey kAddressKeys[] = {
    {"STUN1_IP", "192.168.0.55", "STUN Server1", &SettingsText::server1Ip, &StunSettings::server1Ip,
     &AddressLookup::server1},
    {"STUN2_IP", "192.168.0.97", "STUN Server2", &SettingsText::server2Ip, &StunSettings::server2Ip,
     &AddressLookup::server2},
    {"FRIEND_IP", "0.0.0.0", "friend", &SettingsText::friendIp, &StunSettings::friendIp,
     &AddressLookup::friendAddress},
};
constexpr PortKey kPortKeys[] = {
    {"STUN1_PORT", "70", "STUN Server1", &SettingsText::server1Port, &StunSettings::server1Port,
     &AddressLookup::server1},
    {"STUN2_PORT", "1170", "STUN Server2", &SettingsText::server2Port, &StunSettings::server2Port,
     &AddressLookup::server2},
};

std::string ReadValue(const char* key, const char* defaultValue, const std::string& path) {
    return ProfileGetString(kSection, key, defaultValue, kValueBuffer, path);
}

// Network byte order; only the low 16 bits of the number count, so -1 is 65535.
std::uint16_t PortOf(const std::string& text) {
    return htons(static_cast<std::uint16_t>(std::atoi(text.c_str())));
}

// Network byte order; text that is no address gives inet_addr's all-ones error value.
void FillFromText(StunSettings& out, const SettingsText& text) {
    for (const AddressKey& k : kAddressKeys)
        out.*k.field = ::inet_addr((text.*k.text).c_str());
    for (const PortKey& k : kPortKeys)
        out.*k.field = PortOf(text.*k.text);
}

// Host order in: the first octet is the most significant byte.
std::string FormatAddress(std::uint32_t address) {
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", (address >> 24) & 0xFFu,
                  (address >> 16) & 0xFFu, (address >> 8) & 0xFFu, address & 0xFFu);
    return text;
}

std::string FormatPort(std::uint32_t port) {
    return std::to_string(port & 0xFFFFu);
}

}  // namespace

bool SettingsComplete(const StunSettings& s) {
    return ZeroSettingKeys(s).empty();
}

bool UsesExampleServers(const StunSettings& s) {
    const auto isExample = [](std::uint32_t addrNet) {
        return addrNet == ::inet_addr(kAddressKeys[0].defaultValue) ||
               addrNet == ::inet_addr(kAddressKeys[1].defaultValue);
    };
    return isExample(s.server1Ip) || isExample(s.server2Ip);
}

std::string ZeroSettingKeys(const StunSettings& s) {
    const std::pair<bool, const char*> keys[] = {
        {s.server1Ip == 0, "STUN1_IP"},
        {s.server1Port == 0, "STUN1_PORT"},
        {s.server2Ip == 0, "STUN2_IP"},
        {s.server2Port == 0, "STUN2_PORT"},
    };
    std::string zero;
    for (const auto& [isZero, key] : keys) {
        if (!isZero)
            continue;
        if (!zero.empty())
            zero += ", ";
        zero += key;
    }
    return zero;
}

SettingsPathChoice ChooseSettingsPath(const SettingsPlaces& places) {
    // With no executable path (no /proc), the current directory is the only place left to look.
    if (places.executableDir.empty() || places.besideExists || places.executableDirIsUsers)
        return {places.executableDir + "STUN.ini", {}};
    if (places.userDir.empty())
        return {{},
                places.userDirProblem.empty() ? "no per-user settings directory"
                                              : places.userDirProblem};
    return {places.userDir + "STUN.ini", places.userDirProblem};
}

SettingsPathChoice DefaultSettingsChoice() {
    SettingsPlaces places;
    places.executableDir = ExecutableDirectory();
    if (!places.executableDir.empty()) {
        std::error_code ignored;
        places.besideExists =
            std::filesystem::exists(Utf8Path(places.executableDir + "STUN.ini"), ignored);
        places.executableDirIsUsers = DirectoryIsUsers(places.executableDir);
        UserSettingsPlace user = FindUserSettingsDirectory();
        places.userDir = std::move(user.dir);
        places.userDirProblem = std::move(user.problem);
    }
    return ChooseSettingsPath(places);
}

std::string DefaultSettingsPath() {
    return DefaultSettingsChoice().path;
}

std::string UnusableSettingsText(const SettingsPathChoice& choice) {
    if (choice.path.empty())
        return "Cannot choose a settings file: " + choice.problem;
    return "Cannot use the settings file \"" + choice.path + "\": " + choice.problem;
}

bool LoadSettings(StunSettings& out, const std::string& path) {
    out = StunSettings{};
    FillFromText(out, LoadSettingsText(path));
    return SettingsComplete(out);
}

SettingsText LoadSettingsText(const std::string& path) {
    const std::string file = PathOrDefault(path);
    // One key at a time, in file order.
    SettingsText text;
    text.server1Ip = ReadValue(kAddressKeys[0].key, kAddressKeys[0].defaultValue, file);
    text.server1Port = ReadValue(kPortKeys[0].key, kPortKeys[0].defaultValue, file);
    text.server2Ip = ReadValue(kAddressKeys[1].key, kAddressKeys[1].defaultValue, file);
    text.server2Port = ReadValue(kPortKeys[1].key, kPortKeys[1].defaultValue, file);
    text.friendIp = ReadValue(kAddressKeys[2].key, kAddressKeys[2].defaultValue, file);
    return text;
}

std::optional<std::uint32_t> AddressTextNumber(const std::string& text) {
    const std::uint32_t address = ::inet_addr(text.c_str());
    if (address == INADDR_NONE && text != "255.255.255.255")
        return std::nullopt;
    return address;
}

bool PortTextIsPlain(const std::string& text) {
    if (text.empty())
        return false;
    unsigned long value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + static_cast<unsigned long>(c - '0');
        if (value > 0xFFFFu)
            return false;
    }
    return true;
}

SettingsLoad ReadSettingsForCheck(StunSettings& out, const std::string& path,
                                  const AddressLookup& lookup,
                                  std::vector<std::string>* keyProblems) {
    out = StunSettings{};
    std::string file = path;
    if (file.empty()) {
        SettingsPathChoice choice = DefaultSettingsChoice();
        if (!choice.problem.empty()) {
            theLog.WriteLine("%s", UnusableSettingsText(choice).c_str());
            return SettingsLoad::kUnreadable;
        }
        file = std::move(choice.path);
    }
    const ProfileFileState state = CheckProfileFile(file);
    if (state.access != ProfileAccess::kReadable && state.access != ProfileAccess::kMissing) {
        // Someone else's servers (the defaults) are no stand-in for a file that is there.
        theLog.WriteLine("Cannot read the settings file \"%s\": it %s", file.c_str(),
                         state.reason.c_str());
        return SettingsLoad::kUnreadable;
    }
    const SettingsText text = LoadSettingsText(file);
    FillFromText(out, text);
    const auto problem = [keyProblems](const char* key, const char* what) {
        if (keyProblems != nullptr)
            keyProblems->push_back(std::string(key) + " " + what);
    };
    for (const AddressKey& k : kAddressKeys) {
        const std::string& value = text.*k.text;
        if (!(lookup.*k.wanted) || AddressTextNumber(value))
            continue;
        const HostLookup found = ResolveIpv4Host(value);
        if (found.ok) {
            out.*k.field = found.addressNet;
            continue;
        }
        out.*k.field = 0;
        theLog.WriteLine("Cannot resolve %s address \"%s\": %s", k.logName, value.c_str(),
                         found.error.c_str());
        problem(k.key, "cannot be resolved");
    }
    // atoi's 16 bits of "70000" would be port 4464, a server nobody named.
    for (const PortKey& k : kPortKeys) {
        const std::string& value = text.*k.text;
        if (!(lookup.*k.wanted) || PortTextIsPlain(value))
            continue;
        out.*k.field = 0;
        theLog.WriteLine("Cannot use %s port \"%s\": not a number from 1 to 65535", k.logName,
                         value.c_str());
        problem(k.key, "is not a number from 1 to 65535");
    }
    return SettingsComplete(out) ? SettingsLoad::kComplete : SettingsLoad::kIncomplete;
}

bool LoadSettingsForCheck(StunSettings& out, const std::string& path, const AddressLookup& lookup,
                          std::vector<std::string>* keyProblems) {
    return ReadSettingsForCheck(out, path, lookup, keyProblems) == SettingsLoad::kComplete;
}

bool SaveSettings(std::uint32_t server1Ip, std::uint32_t server1Port, std::uint32_t server2Ip,
                  std::uint32_t server2Port, std::uint32_t friendIp, const std::string& path) {
    return SaveSettingsText({.server1Ip = FormatAddress(server1Ip),
                             .server1Port = FormatPort(server1Port),
                             .server2Ip = FormatAddress(server2Ip),
                             .server2Port = FormatPort(server2Port),
                             .friendIp = FormatAddress(friendIp)},
                            path);
}

bool SaveSettingsText(const SettingsText& text, const std::string& path) {
    // One replacement for all five: a check started meanwhile never reads half a change.
    return ProfileWriteStrings(kSection,
                               {{kAddressKeys[0].key, text.server1Ip},
                                {kPortKeys[0].key, text.server1Port},
                                {kAddressKeys[1].key, text.server2Ip},
                                {kPortKeys[1].key, text.server2Port},
                                {kAddressKeys[2].key, text.friendIp}},
                               ForSaving(PathOrDefault(path)));
}

std::string LoadReportRecipient(const std::string& path) {
    return ProfileGetString(kSection, "REPORT", kMakerSupportAddress, kReportBuffer,
                            PathOrDefault(path));
}

std::string LoadStunServerText(const std::string& path) {
    return ProfileGetString(kSection, "STUN_SERVER", "", kStunServerBuffer, PathOrDefault(path));
}

bool SaveStunServerText(const std::string& text, const std::string& path) {
    return ProfileWriteString(kSection, "STUN_SERVER", text, ForSaving(PathOrDefault(path)));
}
