#pragma once
// The datagram format and the two message records. Plain values: any thread may use them.
//
// Datagram: length (2 bytes) and type code (4 bytes), both big-endian, then a body of 0, 2 or 6
// bytes: nothing, a port, or an IPv4 address and a port. Addresses and ports stay in network byte
// order in every record and field.

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "net/socket_handle.h"

// Type codes. The first byte tells the class: 0x74 request, 0x7C its response; 0x77 a message a
// server sends unasked (after a change request), 0x7F the answer to that.
inline constexpr std::uint32_t kMsgBindingRequest = 0x74777002;
inline constexpr std::uint32_t kMsgChangeRequest = 0x74777003;
inline constexpr std::uint32_t kMsgPortChangeRequest = 0x74777006;
inline constexpr std::uint32_t kMsgAllocTestA = 0x74777007;
inline constexpr std::uint32_t kMsgAllocTestB = 0x74777008;
inline constexpr std::uint32_t kMsgAllocTestC = 0x74777009;
inline constexpr std::uint32_t kMsgExceptTest1 = 0x7477700A;
inline constexpr std::uint32_t kMsgExceptTest2 = 0x7477700B;
inline constexpr std::uint32_t kMsgLoopbackProbe = 0x7477700C;  // its own answer
inline constexpr std::uint32_t kMsgFriendSearch = 0x7477700D;
inline constexpr std::uint32_t kMsgFriendPortRequest = 0x7477700E;
inline constexpr std::uint32_t kMsgFriendPortReport = 0x74777010;
inline constexpr std::uint32_t kMsgUnusedRequest =
    0x74717001;  // never sent; its reply only retires
inline constexpr std::uint32_t kMsgChangedAddressReply = 0x77747005;  // from Server2's own address
inline constexpr std::uint32_t kMsgChangedAddressAck = 0x7F747005;

inline constexpr std::uint32_t kReplyBit = 0x08000000;
// A response's code is its request's code with bit 0x08 of the top byte set.
constexpr std::uint32_t ReplyCode(std::uint32_t request) {
    return request | kReplyBit;
}
constexpr std::uint32_t RequestCodeOf(std::uint32_t reply) {
    return reply & ~kReplyBit;
}

inline constexpr std::uint16_t kHeaderLength = 6;
inline constexpr std::uint16_t kPortBodyLength = 8;
inline constexpr std::uint16_t kEndpointBodyLength = 12;
inline constexpr std::size_t kNatMessageDataSize = 256;
inline constexpr std::size_t kReceivedDataSize = 300;  // longer datagrams are dropped

// Outgoing record. Default: all zero except maxRetries 3 and retryIntervalMs 3000.
struct NatMessage {
    std::uint8_t data[kNatMessageDataSize] = {};
    std::uint16_t sendLength = 0;
    std::uint32_t address = 0;  // 255.255.255.255 for a broadcast
    std::uint16_t port = 0;
    std::int32_t retryCount = 0;     // transmissions so far; negative: untracked, sent once
    std::int32_t maxRetries = 3;     // transmissions allowed in all
    std::uint32_t lastSentTick = 0;  // millisecond tick of the last transmission (wraps)
    std::uint32_t retryIntervalMs = 3000;
    SocketHandle socket = 0;
};

// Incoming record. Zero-filled before the datagram is copied in, so bytes past length read as 0.
struct ReceivedMessage {
    std::uint8_t data[kReceivedDataSize] = {};
    std::uint16_t length = 0;  // 1 to 300
    std::uint32_t fromAddress = 0;
    std::uint16_t fromPort = 0;
    SocketHandle socket = 0;
};

// Big-endian helpers over raw bytes.
std::uint16_t ReadBe16(const std::uint8_t* p);
std::uint32_t ReadBe32(const std::uint8_t* p);
void WriteBe16(std::uint8_t* p, std::uint16_t v);
void WriteBe32(std::uint8_t* p, std::uint32_t v);

// Port held in network order (as it travels) to the number a person reads.
inline std::uint16_t HostPort(std::uint16_t portNet) {
    std::uint8_t b[2];
    std::memcpy(b, &portNet, 2);
    return ReadBe16(b);
}

// The inverse: a port number to the two bytes a message carries.
inline std::uint16_t NetPort(std::uint16_t portHost) {
    std::uint8_t b[2];
    WriteBe16(b, portHost);
    std::uint16_t portNet;
    std::memcpy(&portNet, b, 2);
    return portNet;
}

// Writes a datagram into out (which must hold 12 bytes) and returns its length.
// Body: none; a port (network order); or an address and a port (network order).
std::uint16_t EncodeEmpty(std::uint8_t* out, std::uint32_t type);
std::uint16_t EncodePort(std::uint8_t* out, std::uint32_t type, std::uint16_t portNet);
std::uint16_t EncodeEndpoint(std::uint8_t* out, std::uint32_t type, std::uint32_t addrNet,
                             std::uint16_t portNet);

// Tracked requests (retryCount 0, maxRetries 3, retryIntervalMs 3000) to addrNet:portNet from sock.
NatMessage MakeRequest(std::uint32_t type, std::uint32_t addrNet, std::uint16_t portNet,
                       SocketHandle sock);
NatMessage MakePortRequest(std::uint32_t type, std::uint16_t bodyPortNet, std::uint32_t addrNet,
                           std::uint16_t portNet, SocketHandle sock);
NatMessage MakeEndpointRequest(std::uint32_t type, std::uint32_t bodyAddrNet,
                               std::uint16_t bodyPortNet, std::uint32_t addrNet,
                               std::uint16_t portNet, SocketHandle sock);
// Untracked answer (retryCount -1) with an empty body, back to the sender of `to` from the socket
// it arrived on.
NatMessage MakeAnswer(std::uint32_t type, const ReceivedMessage& to);

// Readers. Fields are read at fixed offsets (type at 2, address at 6, port at 6 or 10) whatever
// the length says; a ReceivedMessage reads zeros past its length.
std::uint32_t MessageType(const ReceivedMessage& msg);
std::uint32_t MessageType(const NatMessage& msg);
std::uint32_t EndpointBodyAddress(const ReceivedMessage& msg);  // offset 6, network order
std::uint16_t EndpointBodyPort(const ReceivedMessage& msg);     // offset 10, network order
std::uint16_t PortBody(const ReceivedMessage& msg);             // offset 6, network order

// Fills a ReceivedMessage from a datagram; false (and nothing filled) unless 1 <= len <= 300.
bool MakeReceived(ReceivedMessage& out, const std::uint8_t* bytes, std::size_t len,
                  std::uint32_t fromAddrNet, std::uint16_t fromPortNet, SocketHandle sock);
