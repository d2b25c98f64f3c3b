#pragma once
// The console tools' command lines, read one strict way. Options are long words ("--out"),
// each given at most once, taking either nothing or the next word as their value. A word that
// begins with "-" is an option and never a value, so "--out --force" is a missing folder, not
// a folder named "--force"; the one exception is a word such as "-5" given to an option that
// reads numbers, whose reader then refuses it with its range. Words that are no option are the
// operands (folders, topics).
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "app/Interaction.h"

class COptionParser {
public:
    // Reads an option's value; false with `why`, said after the option's name ("takes a
    // number", "0 is outside 1 to 1440 minutes").
    using Reader = std::function<bool(const std::string& value, std::string& why)>;

    // An option without a value: `on` is set when it is given.
    void Switch(std::string name, bool& on);
    // An option whose value is a text (a folder, a name).
    void Text(std::string name, Reader read);
    // An option whose value is a number or a list of numbers.
    void Number(std::string name, Reader read);

    // Reads `words` (the command line without the program's name): true with the operands in
    // their order; false at the first word that does not read, with `error` a sentence that
    // names it ("--out needs a value", "--rate given twice", "unknown option --bogus").
    bool Parse(const std::vector<std::string>& words, std::vector<std::string>& operands,
               std::string& error);
    // Whether the last Parse met the option.
    bool Given(std::string_view name) const;

    // Only words that begin with "--" are options; "-x" is an operand like any other word (a
    // topic a launcher passes on may begin with "-").
    bool LongOptionsOnly = false;

private:
    enum class Kind { Switch, Text, Number };
    struct COption {
        std::string Name;
        Kind Takes;
        Reader Read;
        bool Given = false;
    };
    void Add(std::string name, Kind takes, Reader read);
    std::vector<COption> Options;
};

// The words of a command line after the program's name.
std::vector<std::string> CommandWords(int argc, char** argv);
// Whether "--help" or "-h" is among them: the usage is asked for, whatever else is there.
bool AsksForHelp(const std::vector<std::string>& words);

// The alert settings as the tools take them, wherever they are given (--rate, --time, the
// study's sweeps and horizons): a rate in percent from kMinRate to kMaxRate with at most nine
// decimals (the finest rate a sweep's range tells apart), a window of kMinMinutes to
// kMaxMinutes whole minutes.
constexpr double kMinRate = 0.000000001;
constexpr double kMaxRate = 100;
constexpr int kMinMinutes = 1;
constexpr int kMaxMinutes = 1440;

// `v` rounded to nine decimals, as the shortest text of that value reads back.
double RoundRate(double v);
// Whether `rate` is one the tools take; if not, `why` names it as `given` and says the range.
bool CheckRate(double rate, std::string_view given, std::string& why);
// The same for a whole number of minutes.
bool CheckMinutes(double minutes, std::string_view given, std::string& why);

// Readers of the common option values, each false with `why` as COptionParser says it.
bool ReadRate(const std::string& text, double& rate, std::string& why);
bool ReadMinutes(const std::string& text, int& minutes, std::string& why);
// "yyyymmdd", a day of the calendar (February 29 only in a leap year).
bool ReadDate(const std::string& text, CDate& date, std::string& why);
// A size in bytes above 0, with an optional K, M or G after it (KiB, MiB, GiB).
bool ReadByteSize(const std::string& text, uint64_t& bytes, std::string& why);
