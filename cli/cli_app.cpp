#include "cli/cli_app.h"

#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "cli/cli_presenter.h"
#include "cli/console.h"
#include "cli/engine_loop.h"
#include "cli/exit_codes.h"
#include "cli/json_output.h"
#include "cli/signal_watch.h"
#include "core/log.h"
#include "core/settings.h"
#include "engine/check_module.h"
#include "net/socket_layer.h"

namespace {

constexpr const char* kBanner =
    "STUN - Simple Traversal of User Datagram Protocol (UDP)Through Network Address Translators "
    "(NATs) Test Program";
constexpr const char* kReady = "Press F5 to start...";
constexpr const char* kSocketsFailed = "Init WinSock2.0 fail...I have to exit program";

// One run of the client. Main thread only (it is the engine's thread); the signal watcher reaches
// it only through m_loop.Interrupt, the network module only through m_loop.Post.
class CCliRun {
public:
    explicit CCliRun(const CliOptions& options)
        : m_options(options),
          m_settingsPath(options.configPath.empty() ? DefaultSettingsPath() : options.configPath),
          m_loop(std::chrono::milliseconds(options.tickMs)),
          m_progress([](const std::string& s) { WriteStream(stderr, s); },
                     ::isatty(STDERR_FILENO) == 1),
          m_presenter(options.report, [this](const std::string& line) { Out(line + "\n"); }) {}

    int Run();

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
        const CNatProber& p = m_module.Prober();
        m_progress.Show(ProgressText(p.Step(), p.TicksLeft(), m_options.tickMs));
    }
    bool LoadWithOverrides(StunSettings& s);
    std::string ZeroSettingsText() const;
    int Finish(int signo);
    bool SaveLog();

    const CliOptions& m_options;
    const std::string m_settingsPath;
    CEngineLoop m_loop;
    CProgressLine m_progress;
    CCliPresenter m_presenter;
    CLineEndConverter m_lineEnds;
    CStringLogTarget m_logText;
    CSignalWatcher m_signals;
    // Declared after the loop, the log target and the presenter it refers to, so it goes first.
    CCheckModule m_module;

    bool m_checkStarted = false;
    bool m_loaderCalled = false;  // the check got as far as reading the settings
    StunSettings m_loaded;        // what the last load gave, overrides applied
    std::chrono::steady_clock::time_point m_checkStart;
    std::chrono::steady_clock::time_point m_checkEnd;
};

bool CCliRun::LoadWithOverrides(StunSettings& s) {
    LoadSettings(s, m_settingsPath);
    const bool valid = ApplyOverrides(m_options, s);
    m_loaderCalled = true;
    m_loaded = s;
    return valid;
}

std::string CCliRun::ZeroSettingsText() const {
    std::string zero;
    auto add = [&zero](bool isZero, const char* key) {
        if (!isZero)
            return;
        if (!zero.empty())
            zero += ", ";
        zero += key;
    };
    add(m_loaded.server1Ip == 0, "STUN1_IP");
    add(m_loaded.server1Port == 0, "STUN1_PORT");
    add(m_loaded.server2Ip == 0, "STUN2_IP");
    add(m_loaded.server2Port == 0, "STUN2_PORT");
    return zero;
}

int CCliRun::Run() {
    // An explicit file that is not there is a typing error; only the default file may be missing
    // (its defaults then apply, as in the desktop application).
    if (!m_options.configPath.empty()) {
        std::error_code ec;
        if (!std::filesystem::is_regular_file(m_options.configPath, ec) ||
            !std::ifstream(m_options.configPath).good()) {
            Err("cannot read the settings file '" + m_options.configPath + "'");
            return kExitUsage;
        }
    }
    // Fail before the check, not after it, when the log cannot be saved where asked.
    if (!m_options.logPath.empty() && !std::ofstream(m_options.logPath, std::ios::binary)) {
        Err("cannot write the log file '" + m_options.logPath + "'");
        return kExitLogFile;
    }
    if (!m_signals.Start([this](int signo) { m_loop.Interrupt(signo); })) {
        Err("cannot watch for SIGINT/SIGTERM");
        return kExitInternal;
    }

    m_logText.SetOnAppend([this](const std::string& piece) { Out(m_lineEnds.Convert(piece)); });
    theLog.SetOutputWindow(&m_logText);
    theLog.WriteLine("%s", kBanner);

    m_module.SetNotifyTarget(&m_loop);
    m_module.SetResultPresenter(&m_presenter);
    m_module.SetSettingsLoader([this](StunSettings& s) { return LoadWithOverrides(s); });
    m_module.SetSettingsPath(m_settingsPath);

    if (!m_module.InitWinsock() || !m_module.CreateNetwork()) {
        theLog.WriteLine("%s", kSocketsFailed);
        return Finish(0);
    }
    theLog.WriteLine("%s", kReady);

    m_loop.SetOnTick([this] { m_module.OnTick(0); });
    m_loop.SetAfterEach([this] {
        if (m_checkStarted && !m_module.IsChecking()) {
            m_checkEnd = std::chrono::steady_clock::now();
            m_loop.Quit();
            return;
        }
        ShowProgress();
    });
    if (!m_options.respond) {
        m_loop.Post([this] {
            m_checkStart = std::chrono::steady_clock::now();
            m_checkStarted = true;
            m_module.StartCheck();
        });
    }
    return Finish(m_loop.Run());
}

bool CCliRun::SaveLog() {
    std::ofstream file(m_options.logPath, std::ios::binary | std::ios::trunc);
    const std::string& text = m_logText.Text();
    file.write(text.data(), static_cast<std::streamsize>(text.size()));
    file.close();
    return !file.fail();
}

int CCliRun::Finish(int signo) {
    const auto now = std::chrono::steady_clock::now();
    if (m_checkStarted && m_checkEnd == std::chrono::steady_clock::time_point{})
        m_checkEnd = now;
    m_progress.Clear();
    // After Stop no network thread is left to wait for a queued delivery, so the queue can go.
    m_module.Stop();
    m_loop.DiscardPending();
    SocketLayerCleanup();
    m_signals.Stop();
    Out(m_lineEnds.Flush());

    int code = kExitOk;
    const char* status = kStatusFinished;
    if (signo != 0) {
        Err(std::string(m_options.respond ? "stopped by " : "interrupted by ") +
            (signo == SIGINT ? "SIGINT" : "SIGTERM"));
        code = m_options.respond ? kExitOk : kExitSignalBase + signo;
        status = kStatusInterrupted;
    } else if (!m_checkStarted || !m_loaderCalled) {
        // Either the first network module or the one StartCheck creates could not open its
        // sockets; the engine writes nothing for the second.
        Err("could not open the UDP sockets (are ports 9801/9802 held by another running copy?)");
        code = kExitSockets;
        status = kStatusSocketsFailed;
    } else if (!ZeroSettingsText().empty()) {
        // The engine answers this with silence after the start banner.
        Err("invalid settings in '" + m_settingsPath + "': " + ZeroSettingsText() +
            " is zero; no check was started");
        code = kExitInvalidSettings;
        status = kStatusInvalidSettings;
    } else {
        const auto& filter = m_module.Prober().Outcome().filterType;
        code = (filter && *filter != FilterUnknown) ? kExitOk : kExitUnknown;
    }

    if (m_options.json) {
        const auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(m_checkEnd - m_checkStart);
        Out(FormatOutcomeJson(status, m_module.Prober().Outcome(), m_module.Prober().ResultLines(),
                              m_checkStarted ? ms.count() : 0) +
            "\n");
    }
    theLog.SetOutputWindow(nullptr);
    if (!m_options.logPath.empty() && !SaveLog()) {
        Err("cannot write the log file '" + m_options.logPath + "'");
        code = kExitLogFile;
    }
    return code;
}

}  // namespace

int RunCli(const CliOptions& options) {
    CCliRun run(options);
    return run.Run();
}
