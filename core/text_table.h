#pragma once
// Names of enumerators from a table indexed by their value, so a name list reads as a list and
// its length is checked against the enumeration. Any thread (pure functions).

#include <cstddef>
#include <type_traits>

// The text of code in texts; "" for a code outside the table.
template <std::size_t N>
const char* TextOf(const char* const (&texts)[N], long long code) {
    return code >= 0 && static_cast<unsigned long long>(code) < N
               ? texts[static_cast<std::size_t>(code)]
               : "";
}
template <std::size_t N, class Code>
    requires std::is_enum_v<Code>
const char* TextOf(const char* const (&texts)[N], Code code) {
    return TextOf(texts, static_cast<long long>(code));
}
