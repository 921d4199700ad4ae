#pragma once
// The command-line client's log window: streams every piece of the log as it is appended, and
// keeps, only when a --log file wants it, a bounded copy of the text. A flood of logged datagrams
// (a --respond copy can run for days) must not grow memory without end. Engine (main) thread only.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "core/log.h"

class CLogKeeper : public ILogTarget {
public:
    // What --log keeps at most, in bytes. A check writes a few kilobytes; this is a safety net.
    static constexpr std::size_t kDefaultCap = std::size_t{4} << 20;

    // keep: whether to keep the text at all (only --log reads it). cap: at most that many bytes
    // are kept, plus one piece.
    CLogKeeper(bool keep, std::size_t cap = kDefaultCap) : m_keep(keep), m_cap(cap) {}

    // Every byte appended so far (the log only ever appends here); not what is kept.
    std::size_t TextLength() const override { return static_cast<std::size_t>(m_appended); }
    // The caret is always at the end: the client's window has no user to move it.
    void SetEmptySelection(std::size_t /*pos*/) override {}
    void ReplaceSelectionNoUndo(const char* text) override;

    void SetOnAppend(std::function<void(const std::string&)> fn) { m_onAppend = std::move(fn); }
    // The check starts here: text before this point is the first to go when over the cap.
    void MarkCheckStart() { m_checkStart = m_text.size(); }

    // What is kept: all of it while under the cap. Over it, the text before the check's start
    // goes first; then the start of what is left (cap/4) and its newest part (cap/4) are kept
    // and the lines between dropped. Always whole lines.
    const std::string& Text() const { return m_text; }
    std::uint64_t DroppedBytes() const { return m_dropped; }

private:
    void Shrink();

    const bool m_keep;
    const std::size_t m_cap;
    std::string m_text;
    std::size_t m_checkStart = 0;  // offset in m_text; 0 = everything counts as the check's
    std::uint64_t m_appended = 0;
    std::uint64_t m_dropped = 0;
    std::function<void(const std::string&)> m_onAppend;
};
