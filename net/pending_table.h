#pragma once
// The table of outstanding requests: one entry per destination address, port and type code,
// holding the request as last transmitted, so an overdue one can be sent again.
//
// Threads: not synchronised. CUdpNetwork holds its pending-table lock around every call.

#include <cstdint>
#include <string>
#include <unordered_map>

#include "net/messages.h"

class CPendingTable {
public:
    // "%04d %04d %04d" of the address read as a native int32, the port as a native uint16 and the
    // type code: the form Record and Complete agree on. Never leaves the process.
    static std::string MakeRequestKey(std::uint32_t address, std::uint16_t port,
                                      std::uint32_t type);

    // Enters msg (already counted and stamped) under its destination and type, replacing an
    // entry with the same key. True when the table was empty before.
    bool Record(const NatMessage& msg);
    // Retires the request (address, port, type); false when there was none.
    bool Complete(std::uint32_t address, std::uint16_t port, std::uint32_t type);

    // Visits every entry; one whose last transmission is more than its interval before now
    // (unsigned 32-bit milliseconds, right across the wrap) is removed, and handed to resend
    // first if it still has transmissions left. Returns how many were removed.
    template <class Resend>
    std::size_t Scan(std::uint32_t now, Resend&& resend);

    std::size_t Size() const { return m_entries.size(); }
    bool Empty() const { return m_entries.empty(); }
    void Clear() { m_entries.clear(); }

private:
    std::unordered_map<std::string, NatMessage> m_entries;
};

template <class Resend>
std::size_t CPendingTable::Scan(std::uint32_t now, Resend&& resend) {
    std::size_t removed = 0;
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        const NatMessage& msg = it->second;
        // Unsigned 32-bit difference: right across the wrap of the tick count (49.7 days).
        const std::uint32_t elapsed = now - msg.lastSentTick;
        if (elapsed > msg.retryIntervalMs) {
            if (msg.retryCount < msg.maxRetries)
                resend(msg);
            it = m_entries.erase(it);
            ++removed;
        } else {
            ++it;
        }
    }
    return removed;
}
