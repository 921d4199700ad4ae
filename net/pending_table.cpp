#include "net/pending_table.h"

#include <cstdio>

std::string CPendingTable::MakeRequestKey(std::uint32_t address, std::uint16_t port,
                                          std::uint32_t type) {
    // The values as held (network order) read natively; the conversions to int32 wrap.
    char key[48];
    std::snprintf(key, sizeof key, "%04d %04d %04d",
                  static_cast<int>(static_cast<std::int32_t>(address)), static_cast<int>(port),
                  static_cast<int>(static_cast<std::int32_t>(type)));
    return key;
}

bool CPendingTable::Record(const NatMessage& msg) {
    const bool wasEmpty = m_entries.empty();
    m_entries.insert_or_assign(MakeRequestKey(msg.address, msg.port, MessageType(msg)), msg);
    return wasEmpty;
}

bool CPendingTable::Complete(std::uint32_t address, std::uint16_t port, std::uint32_t type) {
    return m_entries.erase(MakeRequestKey(address, port, type)) > 0;
}
