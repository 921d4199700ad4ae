#include "net/messages.h"

#include <cstring>

std::uint16_t ReadBe16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

std::uint32_t ReadBe32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}

void WriteBe16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}

void WriteBe32(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}

std::uint16_t EncodeEmpty(std::uint8_t* out, std::uint32_t type) {
    WriteBe16(out, kHeaderLength);
    WriteBe32(out + 2, type);
    return kHeaderLength;
}

std::uint16_t EncodePort(std::uint8_t* out, std::uint32_t type, std::uint16_t portNet) {
    WriteBe16(out, kPortBodyLength);
    WriteBe32(out + 2, type);
    // Already in network order: copy the bytes as they are held.
    std::memcpy(out + 6, &portNet, 2);
    return kPortBodyLength;
}

std::uint16_t EncodeEndpoint(std::uint8_t* out, std::uint32_t type, std::uint32_t addrNet,
                             std::uint16_t portNet) {
    WriteBe16(out, kEndpointBodyLength);
    WriteBe32(out + 2, type);
    std::memcpy(out + 6, &addrNet, 4);
    std::memcpy(out + 10, &portNet, 2);
    return kEndpointBodyLength;
}

namespace {

NatMessage Tracked(std::uint32_t addrNet, std::uint16_t portNet, SocketHandle sock) {
    NatMessage m;
    m.retryCount = 0;
    m.maxRetries = 3;
    m.lastSentTick = 0;
    m.retryIntervalMs = 3000;
    m.address = addrNet;
    m.port = portNet;
    m.socket = sock;
    return m;
}

}  // namespace

NatMessage MakeRequest(std::uint32_t type, std::uint32_t addrNet, std::uint16_t portNet,
                       SocketHandle sock) {
    NatMessage m = Tracked(addrNet, portNet, sock);
    m.sendLength = EncodeEmpty(m.data, type);
    return m;
}

NatMessage MakePortRequest(std::uint32_t type, std::uint16_t bodyPortNet, std::uint32_t addrNet,
                           std::uint16_t portNet, SocketHandle sock) {
    NatMessage m = Tracked(addrNet, portNet, sock);
    m.sendLength = EncodePort(m.data, type, bodyPortNet);
    return m;
}

NatMessage MakeEndpointRequest(std::uint32_t type, std::uint32_t bodyAddrNet,
                               std::uint16_t bodyPortNet, std::uint32_t addrNet,
                               std::uint16_t portNet, SocketHandle sock) {
    NatMessage m = Tracked(addrNet, portNet, sock);
    m.sendLength = EncodeEndpoint(m.data, type, bodyAddrNet, bodyPortNet);
    return m;
}

NatMessage MakeAnswer(std::uint32_t type, const ReceivedMessage& to) {
    NatMessage m = Tracked(to.fromAddress, to.fromPort, to.socket);
    m.retryCount = -1;
    m.sendLength = EncodeEmpty(m.data, type);
    return m;
}

std::uint32_t MessageType(const ReceivedMessage& msg) {
    return ReadBe32(msg.data + 2);
}
std::uint32_t MessageType(const NatMessage& msg) {
    return ReadBe32(msg.data + 2);
}

std::uint32_t EndpointBodyAddress(const ReceivedMessage& msg) {
    std::uint32_t a;
    std::memcpy(&a, msg.data + 6, 4);
    return a;
}

std::uint16_t EndpointBodyPort(const ReceivedMessage& msg) {
    std::uint16_t p;
    std::memcpy(&p, msg.data + 10, 2);
    return p;
}

std::uint16_t PortBody(const ReceivedMessage& msg) {
    std::uint16_t p;
    std::memcpy(&p, msg.data + 6, 2);
    return p;
}

bool MakeReceived(ReceivedMessage& out, const std::uint8_t* bytes, std::size_t len,
                  std::uint32_t fromAddrNet, std::uint16_t fromPortNet, SocketHandle sock) {
    if (bytes == nullptr || len < 1 || len > kReceivedDataSize)
        return false;
    out = ReceivedMessage{};
    std::memcpy(out.data, bytes, len);
    out.length = static_cast<std::uint16_t>(len);
    out.fromAddress = fromAddrNet;
    out.fromPort = fromPortNet;
    out.socket = sock;
    return true;
}
