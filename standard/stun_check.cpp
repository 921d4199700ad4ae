#include "standard/stun_check.h"

#include <random>

#include "net/local_address.h"
#include "standard/stun_modes.h"

std::array<std::uint8_t, 12> RandomStunTransactionId() {
    // 96 bits from the system's entropy source (getrandom on Linux): RFC 5389 wants them
    // unpredictable, so an off-path sender cannot forge a response.
    std::random_device rd;
    std::array<std::uint8_t, 12> id{};
    for (std::size_t i = 0; i < id.size(); i += 4) {
        const std::uint32_t r = rd();
        for (std::size_t k = 0; k < 4; ++k)
            id[i + k] = static_cast<std::uint8_t>(r >> (8 * k));
    }
    return id;
}

CStunCheck::CStunCheck(IStunTransport& transport, Clock clock)
    : m_transport(transport), m_clock(std::move(clock)), m_newId(RandomStunTransactionId) {}

CStunCheck::~CStunCheck() = default;

void CStunCheck::Start(const StunCheckConfig& config) {
    Stop();
    // One reading of this computer's addresses a run: it lists the interfaces and resolves the
    // host name, which is no work for every datagram.
    LocalAddressTest isLocal = m_isLocal;
    if (!isLocal) {
        isLocal = [set = std::make_shared<const LocalAddressSet>(ReadLocalAddresses())](
                      const Endpoint& a) {
            if (a.IsIpv4())
                return set->IsOwn(a.Ipv4Address()) ? LocalMatch::Own : LocalMatch::Other;
            if (set->IsOwn6(a.address))
                return LocalMatch::Own;
            return set->SharesInterfaceId6(a.address) ? LocalMatch::SameInterfaceId
                                                      : LocalMatch::Other;
        };
    }
    if (config.quick)
        m_machine = std::make_unique<CStunQuickCheck>(m_transport, m_clock, m_newId, isLocal);
    else
        m_machine = std::make_unique<CStunFullCheck>(m_transport, m_clock, m_newId, isLocal);
    m_machine->Start(config);
}

void CStunCheck::OnDatagram(int socketId, const Endpoint& from,
                            std::span<const std::uint8_t> bytes) {
    if (m_machine)
        m_machine->OnDatagram(socketId, from, bytes);
}

void CStunCheck::OnTimer(std::uint64_t nowMs) {
    if (m_machine)
        m_machine->OnTimer(nowMs);
}

std::optional<std::uint64_t> CStunCheck::NextDeadline() const {
    return m_machine ? m_machine->NextDeadline() : std::nullopt;
}

void CStunCheck::Stop() {
    if (m_machine)
        m_machine->Stop();
}

bool CStunCheck::Running() const {
    return m_machine && m_machine->Running();
}

const StunOutcome& CStunCheck::Outcome() const {
    return m_machine ? m_machine->Outcome() : m_idle;
}

std::string CStunCheck::StepName() const {
    return m_machine ? m_machine->StepName() : std::string();
}

std::optional<std::uint64_t> CStunCheck::GiveUpAt() const {
    return m_machine ? m_machine->GiveUpAt() : std::nullopt;
}

std::optional<std::uint64_t> CStunCheck::EndAt() const {
    return m_machine ? m_machine->EndAt() : std::nullopt;
}

std::string SecondServerSuggestion(const StunOutcome& o, const char* how) {
    // One on the first server's IP address cannot tell endpoint-independent from
    // address-dependent mapping; one elsewhere that went unanswered needs no suggestion.
    const bool secondElsewhere = o.server2 && !o.server2->SameAddress(o.server);
    if (!o.finished || o.interrupted || o.socketsFailed || !o.mapped || o.rfc5780 != false ||
        o.mappingEndpointIndependent || secondElsewhere)
        return {};
    return std::string(
               "Without RFC 5780 the mapping behaviour needs a second STUN server on "
               "another IP address: ") +
           how + ".";
}
