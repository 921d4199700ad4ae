#pragma once
// STUN.ini: the two probe servers and the friend address. Engine (user-interface) thread only.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Addresses and ports in network byte order, as they travel in messages.
struct StunSettings {
    std::uint32_t server1Ip = 0;
    std::uint16_t server1Port = 0;
    std::uint32_t server2Ip = 0;
    std::uint16_t server2Port = 0;
    std::uint32_t friendIp = 0;  // 0 = no friend
};

// A check needs both servers: a zero address or port of either means no check is started.
bool SettingsComplete(const StunSettings& s);
// The keys whose zero value stops a check, in file order and joined by ", " (e.g. "STUN1_PORT,
// STUN2_IP"); empty when SettingsComplete.
std::string ZeroSettingKeys(const StunSettings& s);
// Whether either server is one of the built-in example servers (192.168.0.55, 192.168.0.97, the
// defaults of STUN1_IP and STUN2_IP): addresses on nobody's network, which answer nobody.
bool UsesExampleServers(const StunSettings& s);

// Where the settings file goes when none is named: "STUN.ini" beside the running executable (a
// build tree, a portable copy, or a file an administrator put there), unless that directory is
// not this user's own (a program installed in /usr/bin, run by anyone, root included): then
// STUN.ini in the user's own settings directory, made at the first save.
struct SettingsPlaces {
    std::string executableDir;          // with a trailing separator; empty when unknown
    bool besideExists = false;          // STUN.ini is there already
    bool executableDirIsUsers = false;  // DirectoryIsUsers(executableDir)
    std::string userDir;                // FindUserSettingsDirectory().dir; may be empty
    std::string userDirProblem;         // why userDir cannot be used; empty when it can
};
// The file chosen and, when it is the user's own that cannot be used, why. Then no check starts:
// the built-in servers are placeholders, no stand-in for settings the user could not have.
struct SettingsPathChoice {
    std::string path;     // empty when not even a name could be had (no HOME)
    std::string problem;  // e.g. "'/x' (from XDG_CONFIG_HOME) is not a directory"
};
SettingsPathChoice ChooseSettingsPath(const SettingsPlaces& places);  // pure
// The places of this process.
SettingsPathChoice DefaultSettingsChoice();
// DefaultSettingsChoice().path.
std::string DefaultSettingsPath();
// What to tell the user of a choice with a problem, without a trailing full stop:
// Cannot use the settings file "<path>": <problem>; or, with no path, Cannot choose a settings
// file: <problem>.
std::string UnusableSettingsText(const SettingsPathChoice& choice);

// Fills out (all zero first, then every key or its default); true when both server addresses and
// ports are non-zero. An empty path means DefaultSettingsPath(). Loading never creates the file.
bool LoadSettings(StunSettings& out, const std::string& path = {});

// The five keys as the file writes them (trimmed, cut at 49 characters), or their defaults: what
// the settings dialog shows and writes back, so a host name or a port that is no port is shown as
// written and a value the user leaves alone is kept exactly.
struct SettingsText {
    std::string server1Ip;
    std::string server1Port;
    std::string server2Ip;
    std::string server2Port;
    std::string friendIp;
    bool operator==(const SettingsText&) const = default;
};
SettingsText LoadSettingsText(const std::string& path = {});
// Writes the five texts as they are, in one replacement, as SaveSettings does.
bool SaveSettingsText(const SettingsText& text, const std::string& path = {});

// The address, network order, that an address text gives without a lookup: inet_addr's forms
// ("192.168.0.55", also "127.1"), "255.255.255.255" included. nullopt for anything else, which a
// check looks up as a host name.
std::optional<std::uint32_t> AddressTextNumber(const std::string& text);
// Whether a port text says its port plainly: decimal digits only, at most 65535. LoadSettings
// reads any text through atoi and keeps 16 bits: "70000" as 4464, "-1" as 65535, "12ab" as 12.
bool PortTextIsPlain(const std::string& text);

// Which addresses LoadSettingsForCheck looks up by name, and which servers' ports it checks; one
// the caller replaces anyway (a command-line override) needs no lookup and no complaint.
struct AddressLookup {
    bool server1 = true;
    bool server2 = true;
    bool friendAddress = true;
};

// What a load for a check found: settings a check can start with, settings that stop it (a zero
// server address or port), or a file that is there but cannot be read, or no usable file at all
// (all zero then).
enum class SettingsLoad { kComplete, kIncomplete, kUnreadable };

// LoadSettings for a check, as the engine and the command-line client run one:
// - with no path, a default choice with a problem loads as all zero, with one log line
//   (UnusableSettingsText);
// - a file that exists but is no readable regular file of at most 1 MiB (a FIFO, a directory,
//   no permission) loads as all zero, with one log line saying why, instead of the defaults;
// - an address that is not a dotted quad (inet_addr's all-ones answer for any text other than
//   "255.255.255.255") is resolved as an IPv4 host name through ResolveIpv4Host. One that cannot
//   be resolved loads as zero (a zero server starts no check; a zero friend is none) and writes
//   one log line, e.g. Cannot resolve STUN Server1 address "stun.example": <reason>;
// - a server port that is not PortTextIsPlain ("70000", "-1", "abc") loads as zero, with one log
//   line, e.g. Cannot use STUN Server2 port "70000": not a number from 1 to 65535, instead of
//   the 16 bits LoadSettings keeps of it (a plain "0" is zero as it says, without a line).
// Files of dotted quads and plain ports load exactly as LoadSettings loads them, with no log line.
// What was wrong goes to keyProblems when given, one entry a key: "STUN1_IP cannot be resolved",
// "STUN2_PORT is not a number from 1 to 65535". Engine thread (it logs).
SettingsLoad ReadSettingsForCheck(StunSettings& out, const std::string& path = {},
                                  const AddressLookup& lookup = {},
                                  std::vector<std::string>* keyProblems = nullptr);
// ReadSettingsForCheck(...) == SettingsLoad::kComplete.
bool LoadSettingsForCheck(StunSettings& out, const std::string& path = {},
                          const AddressLookup& lookup = {},
                          std::vector<std::string>* keyProblems = nullptr);

// Writes the five keys; arguments in host byte order (first octet in the most significant byte,
// ports as plain numbers, only their low 16 bits written). Every other key, section and comment
// of the file survives. The five go into the file in one replacement; false when it cannot be
// written (nothing changed then).
bool SaveSettings(std::uint32_t server1Ip, std::uint32_t server1Port, std::uint32_t server2Ip,
                  std::uint32_t server2Port, std::uint32_t friendIp, const std::string& path = {});

// The e-mail report's recipient: key REPORT of section Setting, or the maker's support address.
std::string LoadReportRecipient(const std::string& path = {});

// The standard STUN server of the app's "Standard STUN Check" as the user wrote it, "host[:port]":
// key STUN_SERVER of section Setting, "" when missing. Independent of the five keys above.
std::string LoadStunServerText(const std::string& path = {});
// Writes STUN_SERVER, keeping every other line of the file; false when the file cannot be written.
bool SaveStunServerText(const std::string& text, const std::string& path = {});

// The maker's web page and support address.
inline constexpr const char* kMakerWebPage = "https://tarnwick.example/";
inline constexpr const char* kMakerSupportAddress = "support@tarnwick.example";
