#pragma once

#include <string>
#include <string_view>

namespace fenwright::x11 {

// ISO 8859-1 bytes (the STRING type of WM_NAME) as UTF-8.
std::string latin1ToUtf8(std::string_view latin1);

// Valid UTF-8: every malformed or truncated sequence becomes U+FFFD, so
// titles can go into logs and JSON unchecked.
std::string sanitizeUtf8(std::string_view bytes);

// Titles of other encodings (COMPOUND_TEXT and the like): ASCII kept, every
// other byte replaced by U+FFFD.
std::string asciiOnly(std::string_view bytes);

// "0x00c00003", the way X tools print window ids.
std::string hexId(unsigned id);

}  // namespace fenwright::x11
