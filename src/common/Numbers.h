#pragma once
// Number texts as the files and the feed carry them. Every parser says "does not convert" with
// an empty optional; the *Or0 forms give the 0 that the system uses for such texts.
#include <cstdint>
#include <optional>
#include <string_view>

namespace kestrel {

// Decimal integer with an optional sign, leading blanks allowed. With allowHex, "$", "0x" and
// "0X" introduce hexadecimal digits. Out of the 32-bit range does not convert.
std::optional<int32_t> ParseInt(std::string_view text, bool allowHex = false);
int32_t ParseIntOr0(std::string_view text);

// Real with "." as the decimal separator and an optional exponent; blanks around it allowed.
// Infinities, NaN and hexadecimal floats do not convert.
std::optional<double> ParseReal(std::string_view text);
double ParseRealOr0(std::string_view text);

// A price read as a real and floored to whole yen; 0 when it does not convert or does not fit
// into 32 bits.
int32_t FloorYen(std::string_view text);
int32_t FloorToInt32(double value);

}  // namespace kestrel
