#pragma once
// The number formats that the windows and files use, with the rounding of the class library
// the program was first written for: exact binary value, ties away from zero.
#include <cstdint>
#include <string>
#include <string_view>

namespace kestrel {

// "#,": thousands separators, no decimals, 0 gives an empty text. "#0,": the same, 0 gives "0".
std::string FormatThousands(int64_t value, bool zeroAsEmpty);
// Fixed point with `decimals` digits, padded on the left with blanks to `width` ("%4.2f").
std::string FormatFixed(double value, int decimals, int width = 0);
// The same appended to `out`, without a string of its own in the common case.
void AppendFixed(std::string& out, double value, int decimals, int width = 0);
// The same written at `at` (room for kFixedRoom bytes, and `width` of them at least) in the
// common case, returning the end; null (nothing written) where only AppendFixed can say it.
constexpr int kFixedRoom = 40;
char* PutFixed(char* at, double value, int decimals, int width = 0);
// Fixed point as the C library and std::to_chars write it (an exact tie to even), with no sign
// on a value that rounds to zero, at `at` (room for kFixedRoom bytes); null (nothing written)
// on an exact tie and from 10^15 on, where only they can say it.
char* PutFixedNearest(char* at, double value, int decimals);
// The real "general format": shortest text of at most 15 significant digits, no trailing zeros,
// exponent form (1.5E-6) below 0.00001 or at and above 1E15 in size.
std::string FormatGeneral(double value);
// A number format pattern of the class library ("#,", "#0,", "0.00", "#,##0.0" ...) applied
// to a real; used by grid display formats.
std::string FormatFloatPattern(std::string_view pattern, double value);
// A small printf-style real pattern: "%.2f", "%4.2f".
std::string FormatPrintfReal(std::string_view pattern, double value);

}  // namespace kestrel
