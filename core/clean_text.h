#pragma once
// Text that came from the network, made safe to write to a log or a terminal. Any thread (pure).

#include <cstddef>
#include <string>
#include <string_view>

// Printable ASCII only: every other byte (control characters, escape sequences, DEL, and any
// byte of a multi-byte character) becomes '?', and text longer than maxChars is cut there and
// ends in "...".
std::string CleanNetworkText(std::string_view text, std::size_t maxChars = 100);
