#include "cli/cli_app.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "cli/cli_files.h"
#include "cli/cli_presenter.h"
#include "cli/console.h"
#include "cli/engine_loop.h"
#include "cli/exit_codes.h"
#include "cli/json_output.h"
#include "cli/log_keeper.h"
#include "cli/portmap_cli.h"
#include "cli/stun_cli.h"
#include "cli/stun_srv.h"
#include "core/log.h"
#include "core/profile.h"
#include "core/settings.h"
#include "engine/check_module.h"
#include "net/messages.h"

namespace {

// One run of the client. Main thread only (it is the engine's thread); the signal watcher reaches
// it only through Interrupt, the network module only through m_loop.Post.
class CCliRun {
public:
    explicit CCliRun(const CliOptions& options)
        : m_options(options),
          m_settingsChoice(options.configPath.empty() ? DefaultSettingsChoice()
                                                      : SettingsPathChoice{options.configPath, {}}),
          m_settingsPath(m_settingsChoice.path),
          m_loop(std::chrono::milliseconds(options.tickMs)),
          m_progress([](const std::string& s) { WriteStream(stderr, s); },
                     StandardErrorIsTerminal()),
          m_presenter(options.report, [this](const std::string& line) { Out(line + "\n"); }),
          m_logText(!options.logPath.empty()) {}

    int Run();
    // Any thread (the signal watcher): ends the run as soon as the job in progress returns, and
    // the port-mapping check after it as soon as its wait does.
    void Interrupt(int signo) {
        int none = 0;
        m_signal.compare_exchange_strong(none, signo);
        m_loop.Interrupt(signo);
        m_portmap.RequestStop();
    }

private:
    static void WriteStream(std::FILE* f, const std::string& s) {
        std::fwrite(s.data(), 1, s.size(), f);
        std::fflush(f);
    }
    // Standard output; the progress line goes first, so the two never share a terminal line.
    void Out(const std::string& s) {
        if (s.empty())
            return;
        m_progress.Clear();
        WriteStream(stdout, s);
    }
    void Err(const std::string& message) {
        m_progress.Clear();
        WriteStream(stderr, "gatewise-cli: " + message + "\n");
    }
    void ShowProgress() {
        // The test, its step and the bound of the time left, as the window's status bar says it.
        m_progress.Show(ProgressSummary(m_module.Progress(), m_options.tickMs));
    }
    SettingsLoad LoadWithOverrides(StunSettings& s);
    bool SettingsFileUsable();
    bool LogIsTheSettingsFile() const;
    int CheckLogFile();
    void ArmLoop();
    int Verdict(int signo, const char*& status);
    std::optional<PortMapOutcome> PortMapAfterCheck(int& signo);
    int Finish(int signo);
    bool SaveLog();

    const CliOptions& m_options;
    const SettingsPathChoice m_settingsChoice;  // the problem, when the default cannot be used
    const std::string m_settingsPath;
    CEngineLoop m_loop;
    CProgressLine m_progress;
    CCliPresenter m_presenter;
    CLineEndConverter m_lineEnds;
    CLogKeeper m_logText;  // kept only for --log, and bounded
    // Declared after the loop, the log target and the presenter it refers to, so it goes first.
    CCheckModule m_module;

    bool m_checkStarted = false;
    StunSettings m_loaded;  // what the last load gave, overrides applied
    // What the last load found wrong with a key, e.g. "STUN1_IP cannot be resolved".
    std::vector<std::string> m_keyProblems;
    std::chrono::steady_clock::time_point m_checkStart;
    std::chrono::steady_clock::time_point m_checkEnd;
    // --check --portmap: after the check, with its Server1 and mapped address.
    CPortMapRunner m_portmap;
    std::atomic<int> m_signal{0};  // the first signal, also one that came after the check
};

SettingsLoad CCliRun::LoadWithOverrides(StunSettings& s) {
    // A value the command line replaces is not looked up, nor complained about.
    AddressLookup lookup;
    lookup.server1 = !m_options.server1;
    lookup.server2 = !m_options.server2;
    lookup.friendAddress = !m_options.friendIp;
    m_keyProblems.clear();
    SettingsLoad read = SettingsLoad::kUnreadable;
    if (m_settingsChoice.problem.empty()) {
        // A domain in STUN1_IP may name the pair by SRV; only when both servers come from the file.
        std::optional<SrvServerPair> pair;
        if (lookup.server1 && lookup.server2) {
            pair = SettingsPairBySrv(m_settingsPath, ResolveIpv4Host, ClientSrvResolver(),
                                     SystemSrvRandom());
        }
        lookup.server1 = lookup.server2 = !pair;
        read = ReadSettingsForCheck(s, m_settingsPath, lookup, &m_keyProblems);
        if (pair) {
            s.server1Ip = pair->server1.addressNet;
            s.server1Port = pair->server1.portNet;
            s.server2Ip = pair->server2.addressNet;
            s.server2Port = pair->server2.portNet;
        }
    } else {
        // No file the user could have written: all zero, never the built-in placeholders.
        s = StunSettings{};
        theLog.WriteLine("%s", UnusableSettingsText(m_settingsChoice).c_str());
    }
    // Command-line servers mend a file that gave none, even one that could not be read.
    const bool complete = ApplyOverrides(m_options, s);
    m_loaded = s;
    if (complete)
        return SettingsLoad::kComplete;
    return read == SettingsLoad::kUnreadable ? read : SettingsLoad::kIncomplete;
}

// The default file may be missing (its defaults then apply, as in the desktop application); an
// explicit one that is not there is a typing error. A file that is there must be a regular file
// of at most 1 MiB: a FIFO would block the read for ever, a device or a huge file fill memory.
bool CCliRun::SettingsFileUsable() {
    const ProfileFileState state = CheckProfileFile(m_settingsPath);
    if (state.access == ProfileAccess::kReadable ||
        (state.access == ProfileAccess::kMissing && m_options.configPath.empty())) {
        return true;
    }
    Err("cannot read the settings file '" + m_settingsPath + "': it " + state.reason);
    return false;
}

// The log file is emptied at start-up and written at the end: were it the settings file (by the
// same name, a symbolic or a hard link) the settings would be lost before they were read.
bool CCliRun::LogIsTheSettingsFile() const {
    return SameExistingFile(m_options.logPath, m_settingsPath);
}

// 0, or the exit status when the log file named by --log cannot be had.
int CCliRun::CheckLogFile() {
    if (m_options.logPath.empty())
        return 0;
    if (LogIsTheSettingsFile()) {
        Err("the log file '" + m_options.logPath + "' is the settings file '" + m_settingsPath +
            "'; it is left as it is");
        return kExitUsage;
    }
    // Fail before the check, not after it, when the log cannot be saved where asked.
    if (!CreateEmptyLogFile(m_options.logPath)) {
        Err("cannot write the log file '" + m_options.logPath + "'");
        return kExitLogFile;
    }
    return 0;
}

// The tick, the end of the check, the progress line and (unless --respond) the check itself.
void CCliRun::ArmLoop() {
    m_loop.SetOnTick([this] { m_module.OnTick(0); });
    m_loop.SetAfterEach([this] {
        if (m_checkStarted && !m_module.IsChecking()) {
            m_checkEnd = std::chrono::steady_clock::now();
            m_loop.Quit();
            return;
        }
        ShowProgress();
    });
    if (m_options.respond)
        return;
    m_loop.Post([this] {
        m_logText.MarkCheckStart();
        m_checkStart = std::chrono::steady_clock::now();
        m_checkStarted = true;
        if (m_options.quick) {
            m_module.StartQuickCheck();
        } else {
            m_module.StartCheck();
        }
    });
}

int CCliRun::Run() {
    if (!SettingsFileUsable())
        return kExitUsage;
    if (const int code = CheckLogFile(); code != 0)
        return code;

    m_logText.SetOnAppend([this](const std::string& piece) { Out(m_lineEnds.Convert(piece)); });
    theLog.SetOutputWindow(&m_logText);

    m_module.SetNotifyTarget(&m_loop);
    m_module.SetResultPresenter(&m_presenter);
    m_module.SetSettingsLoader([this](StunSettings& s) { return LoadWithOverrides(s); });
    m_module.SetSettingsPath(m_settingsPath);

    if (!m_module.StartUp())
        return Finish(0);
    ArmLoop();
    return Finish(m_loop.Run());
}

bool CCliRun::SaveLog() {
    std::ofstream file(m_options.logPath, std::ios::binary | std::ios::trunc);
    const std::string& text = m_logText.Text();
    file.write(text.data(), static_cast<std::streamsize>(text.size()));
    file.close();
    return !file.fail();
}

// The exit status and the JSON status of the run that ended, saying on standard error why it
// was not a finished check.
int CCliRun::Verdict(int signo, const char*& status) {
    status = kStatusFinished;
    if (signo != 0) {
        Err(std::string(m_options.respond ? "stopped by " : "interrupted by ") +
            (signo == SIGINT ? "SIGINT" : "SIGTERM"));
        status = kStatusInterrupted;
        return m_options.respond ? kExitOk : kExitSignalBase + signo;
    }
    if (!m_checkStarted || m_module.LastFailure() == StartFailure::kSocketsFailed) {
        // Either the first network module or the one StartCheck creates could not open its
        // sockets; the engine writes nothing for the second.
        Err("could not open the UDP sockets (are ports 9801/9802 held by another running copy?)");
        status = kStatusSocketsFailed;
        return kExitSockets;
    }
    if (m_module.LastFailure() != StartFailure::kNone) {
        // The engine answers this with silence after the start banner (and the log's line for
        // each name it could not resolve, each port that is no port, or a file it could not read).
        if (!m_settingsChoice.problem.empty()) {
            const std::string& why = m_settingsChoice.problem;
            Err((m_settingsPath.empty()
                     ? "cannot choose a settings file: " + why
                     : "cannot use the settings file '" + m_settingsPath + "': " + why) +
                "; no check was started");
            status = kStatusInvalidSettings;
            return kExitInvalidSettings;
        }
        std::string why;
        for (const std::string& problem : m_keyProblems)
            why += (why.empty() ? "" : ", ") + problem;
        if (why.empty())
            why = ZeroSettingKeys(m_loaded) + " is zero";
        Err("invalid settings in '" + m_settingsPath + "': " + why + "; no check was started");
        status = kStatusInvalidSettings;
        return kExitInvalidSettings;
    }
    const auto& filter = m_module.Prober().Outcome().filterType;
    return (filter && *filter != FilterUnknown) ? kExitOk : kExitUnknown;
}

// The port-mapping check after a check that ended by itself, on the same log, while the socket
// layer is still up; a signal during it becomes the run's.
std::optional<PortMapOutcome> CCliRun::PortMapAfterCheck(int& signo) {
    if (!m_options.portmap || signo != 0 || !m_checkStarted ||
        m_module.LastFailure() != StartFailure::kNone || m_loaded.server1Ip == 0 ||
        m_loaded.server1Port == 0) {
        return std::nullopt;
    }
    const CheckOutcome& outcome = m_module.Prober().Outcome();
    std::optional<std::uint32_t> mapped;
    if (outcome.mappedPort != 0)
        mapped = outcome.mappedIp;
    const Endpoint server = Ipv4Endpoint{m_loaded.server1Ip, HostPort(m_loaded.server1Port)};
    PortMapOutcome o = RunPortMapAfter(m_options, m_portmap, server, mapped);
    signo = m_signal.load();
    return o;
}

int CCliRun::Finish(int signo) {
    const auto now = std::chrono::steady_clock::now();
    if (m_checkStarted && m_checkEnd == std::chrono::steady_clock::time_point{})
        m_checkEnd = now;
    m_progress.Clear();
    // After Stop no network thread is left to wait for a queued delivery, so the queue can go.
    m_module.Stop();
    m_loop.DiscardPending();
    const std::optional<PortMapOutcome> mapping = PortMapAfterCheck(signo);
    m_module.CleanupWinsock();
    Out(m_lineEnds.Flush());

    const char* status = nullptr;
    int code = Verdict(signo, status);
    const CheckOutcome& outcome = m_module.Prober().Outcome();
    CheckFacts facts{.end = CheckEndOfStatus(status),
                     .exampleServers = UsesExampleServers(m_loaded),
                     .frontEnd = FrontEnd::Cli,
                     .settingsPath = m_settingsPath};
    if (outcome.mappedPort != 0)
        facts.mappedIsLocal = m_module.Prober().IsLocalAddress(outcome.mappedIp);
    // After the log (and the report link), never in it: the log stays the application's, and
    // --log saves only that. Also when no verdict came, to say why and what to do.
    if (!m_options.respond)
        Out(P2pBlockText(MeaningOfCheck(outcome, facts)));
    if (mapping && status == kStatusFinished)
        Out(PortMapMeaningAfter(*mapping));
    if (m_options.json) {
        const auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(m_checkEnd - m_checkStart);
        std::string json = FormatOutcomeJson(status, outcome, m_module.Prober().ResultLines(),
                                             m_checkStarted ? ms.count() : 0, facts);
        if (mapping)
            AddPortMapJsonMembers(json, *mapping);
        Out(json + "\n");
    }
    theLog.SetOutputWindow(nullptr);
    if (!m_options.logPath.empty() && !SaveLog()) {
        Err("cannot write the log file '" + m_options.logPath + "'");
        code = kExitLogFile;
    } else if (m_logText.DroppedBytes() != 0) {
        Err("the log outgrew " + std::to_string(CLogKeeper::kDefaultCap >> 20) + " MiB; " +
            std::to_string(m_logText.DroppedBytes()) +
            " bytes of it (the oldest, then the middle) are not in '" + m_options.logPath + "'");
    }
    return code;
}

}  // namespace

int RunCli(const CliOptions& options, CSignalRelay& signals) {
    if (options.lifetimeS)
        return RunLifetimeCli(options, signals);
    if (options.stun)
        return RunStunCli(options, signals);
    if (options.portmap && !options.check)
        return RunPortMapCli(options, signals);
    CCliRun run(options);
    // Registered for exactly the run's lifetime, whatever ends it.
    struct Registration {
        CSignalRelay& relay;
        ~Registration() { relay.SetTarget({}); }
    } registration{signals};
    signals.SetTarget([&run](int signo) { run.Interrupt(signo); });
    return run.Run();
}
