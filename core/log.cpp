#include "core/log.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <ctime>

CLogOutput theLog;

namespace {

// Lines are formatted into 512-byte buffers; 509 characters leave room for "\r\n" and the NUL.
constexpr std::size_t kLineBuffer = 512;
constexpr std::size_t kMaxLineText = kLineBuffer - 3;

std::function<LocalTimeOfDay()>& TimeSource() {
    static std::function<LocalTimeOfDay()> source;
    return source;
}

}  // namespace

CLogOutput::~CLogOutput() = default;

int CLogOutput::AppendText(const char* text) {
    if (m_output == nullptr)
        return 0;
    const std::size_t n = m_output->TextLength();
    m_output->SetEmptySelection(n);
    m_output->ReplaceSelectionNoUndo(text);
    return 1;
}

void CLogOutput::WriteLine(const char* format, ...) {
    char buffer[kLineBuffer];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(buffer, kMaxLineText + 1, format, args);
    va_end(args);
    // A longer text is cut at 509 characters rather than losing its line end.
    std::size_t len = n < 0 ? 0 : std::min<std::size_t>(static_cast<std::size_t>(n), kMaxLineText);
    buffer[len] = '\r';
    buffer[len + 1] = '\n';
    buffer[len + 2] = '\0';
    AppendText(buffer);
}

void CLogOutput::WriteTimedLine(const char* format, ...) {
    char message[kLineBuffer];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    if (n < 0)
        message[0] = '\0';
    const LocalTimeOfDay now = GetLocalTimeOfDay();
    // The message goes in as an argument of %s, so a percent sign in it is printed literally.
    WriteLine("%02d:%02d:%02d --- %s", now.hour, now.minute, now.second, message);
}

LocalTimeOfDay GetLocalTimeOfDay() {
    if (TimeSource())
        return TimeSource()();
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    return {tm.tm_hour, tm.tm_min, tm.tm_sec};
}

void SetLocalTimeSource(std::function<LocalTimeOfDay()> source) {
    TimeSource() = std::move(source);
}

void CStringLogTarget::SetEmptySelection(std::size_t pos) {
    pos = std::min(pos, m_text.size());
    m_selStart = m_selEnd = pos;
}

void CStringLogTarget::ReplaceSelectionNoUndo(const char* text) {
    std::string piece(text);
    m_text.replace(m_selStart, m_selEnd - m_selStart, piece);
    m_selStart = m_selEnd = m_selStart + piece.size();
    if (m_onAppend)
        m_onAppend(piece);
}

void CStringLogTarget::SetText(std::string text) {
    m_text = std::move(text);
    m_selStart = m_selEnd = m_text.size();
}

void CStringLogTarget::Select(std::size_t start, std::size_t end) {
    end = std::min(end, m_text.size());
    start = std::min(start, end);
    m_selStart = start;
    m_selEnd = end;
}
