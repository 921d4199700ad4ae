// Text made safe for the log and the screen, over any bytes: ToValidUtf8 always gives valid
// UTF-8, leaves valid UTF-8 as it is and turns no byte into more than two; CleanNetworkText gives
// printable ASCII of at most the limit (and "...").

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/clean_text.h"
#include "core/utf8_text.h"
#include "fuzz/fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    CFuzzInput input(data, size);
    const std::size_t limit = input.Byte();
    std::size_t n = 0;
    const std::uint8_t* rest = input.Rest(n);
    const std::string_view text(reinterpret_cast<const char*>(rest), n);

    const std::string utf8 = ToValidUtf8(text);
    if (!IsValidUtf8(utf8))
        FuzzFail("ToValidUtf8 gave malformed UTF-8");
    if (utf8.size() > 2 * text.size())
        FuzzFail("ToValidUtf8 grew a byte to more than two");
    if (IsValidUtf8(text) && utf8 != text)
        FuzzFail("ToValidUtf8 changed valid UTF-8");

    const std::string clean = CleanNetworkText(text, limit);
    if (clean.size() > limit + 3)
        FuzzFail("CleanNetworkText is longer than its limit");
    for (const char c : clean) {
        if (c < 0x20 || c > 0x7E)
            FuzzFail("CleanNetworkText kept a byte that is not printable ASCII");
    }
    return 0;
}
