#pragma once
// The one place where text crosses between the files' CP932 (Windows Shift-JIS) and the
// program's UTF-8. Bad input never throws: undecodable bytes become U+FFFD, unencodable
// characters become '?'.
#include <string>
#include <string_view>

namespace kestrel {

std::string Cp932ToUtf8(std::string_view cp932);
std::string Utf8ToCp932(std::string_view utf8);

// The first n characters (code points) of a UTF-8 text, all of it when shorter.
std::string FirstChars(std::string_view utf8, size_t n);

// At most maxBytes of a UTF-8 text, cut before a character that would not fit whole.
std::string_view CutUtf8(std::string_view utf8, size_t maxBytes);

// True when every byte is 7-bit ASCII.
bool IsAscii(std::string_view s);

// True when the text is well-formed UTF-8: no stray or missing continuation bytes, no overlong
// forms, no surrogates, nothing above U+10FFFF.
bool IsValidUtf8(std::string_view s);

}  // namespace kestrel
