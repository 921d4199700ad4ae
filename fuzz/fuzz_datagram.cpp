// The datagram readers over any bytes of any length: MakeReceived takes 1 to 300 bytes and
// nothing else, and every reader then sees exactly the bytes it was given, zeros past the end.

#include <cstring>

#include "fuzz/fuzz_input.h"
#include "net/messages.h"

namespace {

std::uint8_t At(const std::uint8_t* data, std::size_t size, std::size_t i) {
    return i < size ? data[i] : 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ReceivedMessage m;
    m.length = 7;
    m.data[0] = 0xAB;
    const bool ok = MakeReceived(m, size == 0 ? nullptr : data, size, 0x0100007F, 0x3412, 5);
    const bool shouldAccept = size >= 1 && size <= kReceivedDataSize;
    if (ok != shouldAccept)
        FuzzFail("MakeReceived accepted the wrong lengths");
    if (!ok) {
        // A refused datagram leaves the record as it was.
        if (m.length != 7 || m.data[0] != 0xAB)
            FuzzFail("a refused datagram changed the record");
        return 0;
    }
    if (m.length != size || std::memcmp(m.data, data, size) != 0)
        FuzzFail("the record does not hold the datagram");
    for (std::size_t i = size; i < kReceivedDataSize; ++i) {
        if (m.data[i] != 0)
            FuzzFail("bytes past the datagram are not zero");
    }
    if (m.fromAddress != 0x0100007F || m.fromPort != 0x3412 || m.socket != 5)
        FuzzFail("the sender was not kept");

    const std::uint32_t type = (std::uint32_t{At(data, size, 2)} << 24) |
                               (std::uint32_t{At(data, size, 3)} << 16) |
                               (std::uint32_t{At(data, size, 4)} << 8) | At(data, size, 5);
    if (MessageType(m) != type)
        FuzzFail("MessageType");
    const std::uint8_t addr[4] = {At(data, size, 6), At(data, size, 7), At(data, size, 8),
                                  At(data, size, 9)};
    const std::uint32_t a = EndpointBodyAddress(m);
    if (std::memcmp(&a, addr, 4) != 0)
        FuzzFail("EndpointBodyAddress");
    const std::uint8_t port[2] = {At(data, size, 10), At(data, size, 11)};
    const std::uint16_t p = EndpointBodyPort(m);
    if (std::memcmp(&p, port, 2) != 0)
        FuzzFail("EndpointBodyPort");
    const std::uint8_t body[2] = {At(data, size, 6), At(data, size, 7)};
    const std::uint16_t b = PortBody(m);
    if (std::memcmp(&b, body, 2) != 0)
        FuzzFail("PortBody");

    // What the readers found, written again, gives the same bytes back.
    std::uint8_t out[12];
    if (EncodeEndpoint(out, type, a, p) != kEndpointBodyLength || ReadBe32(out + 2) != type ||
        std::memcmp(out + 6, addr, 4) != 0 || std::memcmp(out + 10, port, 2) != 0) {
        FuzzFail("EncodeEndpoint does not invert the readers");
    }
    if (EncodePort(out, type, b) != kPortBodyLength || std::memcmp(out + 6, body, 2) != 0)
        FuzzFail("EncodePort does not invert PortBody");
    return 0;
}
