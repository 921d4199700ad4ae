// The profile reader and LoadSettings over any file: binary bytes, long lines, missing or
// repeated sections and keys. Reading never crashes and keeps to the buffer; the five texts
// written back as read load the same; writing one key makes that key read back as written and
// leaves every other key as it read before.

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#include "core/profile.h"
#include "core/settings.h"
#include "fuzz/fuzz_input.h"

namespace {

// A scratch directory of this process, on tmpfs when there is one: the writer syncs every file.
const std::string& ScratchFile() {
    static const std::string path = [] {
        const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        std::string dir = std::string(base) + "/gatewise-fuzz-XXXXXX";
        if (mkdtemp(dir.data()) == nullptr)
            FuzzFail("no scratch directory");
        static std::string removeAtExit;
        removeAtExit = dir;
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(removeAtExit, ignored);
        });
        return dir + "/STUN.ini";
    }();
    return path;
}

void WriteFile(const std::string& path, const std::uint8_t* data, std::size_t size) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr)
        FuzzFail("cannot write the scratch file");
    if (size != 0 && std::fwrite(data, 1, size, f) != size)
        FuzzFail("short write of the scratch file");
    std::fclose(f);
}

const char* const kKeys[] = {"STUN1_IP",   "STUN1_PORT", "STUN2_IP",
                             "STUN2_PORT", "FRIEND_IP",  "REPORT"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string& path = ScratchFile();
    WriteFile(path, data, size);

    StunSettings s;
    const bool complete = LoadSettings(s, path);
    if (complete !=
        (s.server1Ip != 0 && s.server1Port != 0 && s.server2Ip != 0 && s.server2Port != 0)) {
        FuzzFail("LoadSettings' result disagrees with what it filled in");
    }
    // A plain port says the number atoi reads from it; what the dialog shows (the texts), saved
    // unchanged, loads as the same settings.
    const SettingsText text = LoadSettingsText(path);
    for (const std::string* port : {&text.server1Port, &text.server2Port}) {
        if (PortTextIsPlain(*port) && std::strtoul(port->c_str(), nullptr, 10) > 65535)
            FuzzFail("a plain port above 65535");
    }
    const std::string recipient = LoadReportRecipient(path);
    if (recipient.size() > 259)
        FuzzFail("the recipient overran its buffer");

    std::string before[6];
    for (int i = 0; i < 6; ++i) {
        for (const std::size_t buffer : {std::size_t{0}, std::size_t{1}, std::size_t{50}}) {
            const std::string v = ProfileGetString("Setting", kKeys[i], "dflt", buffer, path);
            if (v.size() + 1 > (buffer == 0 ? 1 : buffer))
                FuzzFail("a value longer than its buffer");
            if (v.find('\0') != std::string::npos || v.find('\n') != std::string::npos)
                FuzzFail("a value with a NUL or a line break");
        }
        before[i] = ProfileGetString("Setting", kKeys[i], "<none>", 4096, path);
    }

    // One key written, as the settings dialog does; the others must read as before.
    const int which = size == 0 ? 0 : data[0] % 6;
    if (ProfileWriteString("Setting", kKeys[which], "4242", path)) {
        if (ProfileGetString("Setting", kKeys[which], "<none>", 4096, path) != "4242")
            FuzzFail("a written key does not read back");
        for (int i = 0; i < 6; ++i) {
            if (i != which &&
                ProfileGetString("Setting", kKeys[i], "<none>", 4096, path) != before[i])
                FuzzFail("writing one key changed another");
        }
    }

    // Last, as it writes all five keys: the dialog's OK with nothing changed. A value cut at a NUL
    // or at 49 characters may end in a blank, which the reader trims once it is written.
    const auto trimmed = [](SettingsText t) {
        for (std::string* v :
             {&t.server1Ip, &t.server1Port, &t.server2Ip, &t.server2Port, &t.friendIp})
            v->erase(v->find_last_not_of(" \t") + 1);
        return t;
    };
    const SettingsText now = LoadSettingsText(path);
    StunSettings loaded;
    LoadSettings(loaded, path);
    if (SaveSettingsText(now, path)) {
        StunSettings again;
        LoadSettings(again, path);
        if (LoadSettingsText(path) != trimmed(now) || again.server1Ip != loaded.server1Ip ||
            again.server1Port != loaded.server1Port || again.server2Ip != loaded.server2Ip ||
            again.server2Port != loaded.server2Port || again.friendIp != loaded.friendIp)
            FuzzFail("the texts saved as loaded load differently");
    }
    return 0;
}
