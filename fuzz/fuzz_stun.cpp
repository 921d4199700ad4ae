// The STUN codec over any bytes: no crash and no read past the input (the sanitizers watch the
// exact-size buffer libFuzzer hands in); a message it accepts encodes again, and that encoding
// parses to the same fields; the server's quick tests agree with the parser: LooksLikeStun
// about the cookie, LooksLikeRfc3489Request about a cookie-less Binding request.

#include "fuzz/fuzz_input.h"
#include "net/stun_message.h"

#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    StunMessage m;
    const StunParseError e = ParseStun(data, size, m);
    const bool rfc3489Request = LooksLikeRfc3489Request(data, size);
    if (rfc3489Request && LooksLikeStun(data, size))
        FuzzFail("both quick tests take one datagram");
    if (e != StunParseError::None) {
        if (StunParseErrorText(e)[0] == '?')
            FuzzFail("a refusal without a reason");
        return 0;
    }
    if (LooksLikeStun(data, size) != m.IsRfc5389())
        FuzzFail("LooksLikeStun disagrees with the parser about the cookie");
    if (rfc3489Request !=
        (!m.IsRfc5389() && m.cls == StunClass::Request && m.method == kStunMethodBinding))
        FuzzFail("LooksLikeRfc3489Request disagrees with the parser");

    // What the parser keeps never grows when written again, so it always fits.
    const std::size_t want = StunEncodedLength(m);
    if (want == 0 || want > size)
        FuzzFail("a parsed message cannot be encoded in its own size");
    std::vector<std::uint8_t> out(want);
    if (EncodeStun(m, out.data(), out.size()) != want)
        FuzzFail("EncodeStun and StunEncodedLength disagree");

    StunMessage again;
    if (ParseStun(out.data(), out.size(), again) != StunParseError::None)
        FuzzFail("an encoded message does not parse");
    // Neither is written by the encoder.
    m.hadMessageIntegrity = false;
    m.unknownRequired.clear();
    if (!(again == m))
        FuzzFail("encode and parse again changed a field");
    if (!again.unknownRequired.empty() || again.hadMessageIntegrity)
        FuzzFail("the encoder wrote an attribute it does not understand");
    return 0;
}
