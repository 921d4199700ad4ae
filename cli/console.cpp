#include "cli/console.h"

#include <cstdio>

#include "engine/check_module.h"
#include "engine/nat_prober.h"

std::string CLineEndConverter::Convert(const std::string& piece) {
    std::string out;
    out.reserve(piece.size() + 1);
    std::size_t i = 0;
    if (m_heldCr) {
        m_heldCr = false;
        if (!piece.empty() && piece[0] == '\n') {
            out += '\n';
            i = 1;
        } else {
            out += '\r';
        }
    }
    for (; i < piece.size(); ++i) {
        char c = piece[i];
        if (c != '\r') {
            out += c;
        } else if (i + 1 == piece.size()) {
            m_heldCr = true;
        } else if (piece[i + 1] == '\n') {
            out += '\n';
            ++i;
        } else {
            out += '\r';  // a lone carriage return inside text stays as it is
        }
    }
    return out;
}

std::string CLineEndConverter::Flush() {
    if (!m_heldCr)
        return {};
    m_heldCr = false;
    return "\r";
}

void CProgressLine::Show(const std::string& text) {
    if (!m_enabled)
        return;
    if (text.empty()) {
        Clear();
        return;
    }
    if (text == m_text && m_shown != 0)
        return;
    std::string out = "\r" + text;
    // Blanks over the tail of a longer previous text.
    if (m_shown > text.size())
        out.append(m_shown - text.size(), ' ');
    m_write(out);
    m_shown = text.size() > m_shown ? text.size() : m_shown;
    m_text = text;
}

void CProgressLine::Clear() {
    if (!m_enabled || m_shown == 0)
        return;
    m_write("\r" + std::string(m_shown, ' ') + "\r");
    m_shown = 0;
    m_text.clear();
}
