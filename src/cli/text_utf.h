// UTF-8 and UTF-16 for the command line's words (names of ports and files).
#pragma once

#include <string>

// False for bytes that are not UTF-8 (a lone continuation byte, an overlong
// or truncated sequence, a surrogate).
bool Utf8ToUtf16(const std::string& text, std::u16string* out);
