#pragma once
// Text of unknown encoding (paths, system messages, whatever a caller formats into the log) made
// into valid UTF-8 without losing a byte's meaning. Any thread (pure).

#include <cstddef>
#include <string>
#include <string_view>

// Length of the well-formed UTF-8 sequence at the start of text (1 to 4), or 0 when text starts
// with a byte that begins none: a stray continuation byte, an overlong form, a surrogate, a code
// point above U+10FFFF or a sequence cut short.
std::size_t Utf8SequenceLength(std::string_view text);

// True when text is well-formed UTF-8 throughout (the empty text is).
bool IsValidUtf8(std::string_view text);

// Well-formed UTF-8 sequences as they are; every other byte read as the Latin-1 character it
// always stood for in the log (0xFC is "u with diaeresis") and written as that character's UTF-8.
// ASCII and valid UTF-8 come out unchanged; the result is always valid UTF-8.
std::string ToValidUtf8(std::string_view text);
