#pragma once
// CSV as RFC 4180 writes it: fields joined by commas, records ended by CR LF, and a field that
// holds a comma, a double quote, a CR or an LF enclosed in double quotes with each double quote
// inside doubled. Every other field, the empty one included, is written as it is.
#include <cstdint>
#include <string>
#include <string_view>

class CCsvWriter {
public:
    // Appends to `out`, which the caller writes away (the writer holds no file).
    explicit CCsvWriter(std::string& out) : Out(out) {}
    CCsvWriter& Field(std::string_view text);
    CCsvWriter& Field(int64_t value);
    // Fixed point with `decimals` digits, or an empty field when `present` is false.
    CCsvWriter& Field(double value, int decimals, bool present = true);
    // A field whose text `write` appends to the output itself (no copy made first); it is
    // enclosed afterwards when its text asks for it.
    template <typename Write>
    CCsvWriter& FieldWrittenBy(Write&& write) {
        if (!First) Out += ',';
        First = false;
        // Opened first, as most such texts need it; taken back when the text does not.
        const size_t at = Out.size();
        Out += '"';
        write(Out);
        const std::string_view text = std::string_view(Out).substr(at + 1);
        if (!NeedsQuotes(text)) {
            Out.erase(at, 1);
        } else if (text.find('"') != std::string_view::npos) {
            Out.erase(at, 1);
            Enclose(at);
        } else {
            Out += '"';
        }
        return *this;
    }
    // Ends the record.
    void End();

    static bool NeedsQuotes(std::string_view text);
    // A number's text as Field writes it (never enclosed), put at `at`, which has room for
    // kNumberRoom bytes; the end is returned.
    static constexpr size_t kNumberRoom = 400;
    static char* PutNumber(char* at, int64_t value);
    static char* PutNumber(char* at, double value, int decimals);

private:
    // Encloses the output's text from `at` on in double quotes, each one inside doubled.
    void Enclose(size_t at);
    std::string& Out;
    bool First = true;
};
