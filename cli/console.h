#pragma once
// What the command-line client writes to its two output streams besides the engine: the log's
// line ends converted for a terminal, and the one-line progress display on standard error.
// Engine (main) thread only.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

// The log ends its lines with "\r\n"; standard output gets "\n". A "\r" at the end of one piece
// is held back until the next piece shows whether a "\n" follows it.
class CLineEndConverter {
public:
    std::string Convert(const std::string& piece);
    // What is still held back (a lone final "\r"), for the end of the output.
    std::string Flush();

private:
    bool m_heldCr = false;
};

// The progress line, redrawn in place with "\r" and wiped before anything else is written to the
// same terminal. Disabled (every call a no-op) when standard error is not a terminal.
class CProgressLine {
public:
    CProgressLine(std::function<void(const std::string&)> write, bool enabled)
        : m_write(std::move(write)), m_enabled(enabled) {}

    // Shows text in place of what is shown; an empty text clears the line.
    void Show(const std::string& text);
    // Wipes the line (blanks over it, cursor back at its start); nothing when nothing is shown.
    void Clear();
    bool Enabled() const { return m_enabled; }

private:
    std::function<void(const std::string&)> m_write;
    bool m_enabled;
    std::size_t m_shown = 0;  // characters on screen now
    std::string m_text;       // what is on screen, so an unchanged text is not redrawn
};
