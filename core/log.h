#pragma once
// The one writer of the check's log. User-interface (engine) thread only: nothing here locks.

#include <cstddef>
#include <functional>
#include <string>

// The text window the log appends to: the three operations an edit control offers for it.
class ILogTarget {
public:
    virtual ~ILogTarget() = default;
    // Length of the whole text, in characters.
    virtual std::size_t TextLength() const = 0;
    // Empty selection (caret) at pos; deselects whatever the user had selected.
    virtual void SetEmptySelection(std::size_t pos) = 0;
    // Replaces the selection with text; not recorded for undo.
    virtual void ReplaceSelectionNoUndo(const char* text) = 0;
};

// MinGW builds use C99's printf (__USE_MINGW_ANSI_STDIO), so formats are checked against it and
// not against msvcrt's, which lacks %zu.
#ifdef __MINGW32__
#define GATEWISE_LOG_FORMAT(fmt, args) __attribute__((format(gnu_printf, fmt, args)))
#else
#define GATEWISE_LOG_FORMAT(fmt, args) __attribute__((format(printf, fmt, args)))
#endif

class CLogOutput {
public:
    CLogOutput() = default;
    virtual ~CLogOutput();
    CLogOutput(const CLogOutput&) = delete;
    CLogOutput& operator=(const CLogOutput&) = delete;

    // Binds (or rebinds) the text window; nullptr unbinds, which only tests and shutdown do.
    void SetOutputWindow(ILogTarget* target) { m_output = target; }
    ILogTarget* OutputWindow() const { return m_output; }

    // Appends text at the very end of the bound window; returns 0 and drops it when unbound.
    int AppendText(const char* text);

    // One line, "\r\n" appended. At most 509 characters of text are kept so the line end fits.
    void WriteLine(const char* format, ...) GATEWISE_LOG_FORMAT(2, 3);
    // The same, prefixed with the local time of day as "hh:mm:ss --- ".
    void WriteTimedLine(const char* format, ...) GATEWISE_LOG_FORMAT(2, 3);

private:
    ILogTarget* m_output = nullptr;
};

extern CLogOutput theLog;

// Local wall-clock time of day, read through one seam so tests can pin it.
struct LocalTimeOfDay {
    int hour = 0;
    int minute = 0;
    int second = 0;
};
LocalTimeOfDay GetLocalTimeOfDay();
// Replaces the clock; an empty function restores the system clock.
void SetLocalTimeSource(std::function<LocalTimeOfDay()> source);

// A log target that keeps the text in memory: tests, the command-line client.
// Optionally reports every appended piece, so the client can stream the log as it grows.
class CStringLogTarget : public ILogTarget {
public:
    std::size_t TextLength() const override { return m_text.size(); }
    void SetEmptySelection(std::size_t pos) override;
    void ReplaceSelectionNoUndo(const char* text) override;

    const std::string& Text() const { return m_text; }
    void Clear() {
        m_text.clear();
        m_selStart = m_selEnd = 0;
    }
    void SetText(std::string text);
    // Selects [start, end) as a user would; the next log line must still go to the end.
    void Select(std::size_t start, std::size_t end);
    void SetOnAppend(std::function<void(const std::string&)> fn) { m_onAppend = std::move(fn); }

private:
    std::string m_text;
    std::size_t m_selStart = 0;
    std::size_t m_selEnd = 0;
    std::function<void(const std::string&)> m_onAppend;
};
