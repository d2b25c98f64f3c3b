#pragma once
// Starting the embedded interpreter, once per process, with the library search list extended
// by the installation's own folder; and the process-wide default text encoding.
#include <string>

namespace kestrel::ruby {

// Starts the interpreter on the calling thread (which must be the thread every later use runs
// on). Does nothing after the first call.
void InitRuby();
bool RubyStarted();

// Name of the interpreter encoding that a kanji-code text selects by its first letter, in any
// case: S (Shift-JIS) Windows-31J, E EUC-JP, U UTF-8, anything else ASCII-8BIT (no conversion).
const char* KcodeEncodingName(const std::string& kcode);

// Makes that encoding the interpreter's default external encoding. False, and no change, when
// the interpreter is not running or refuses it.
bool ApplyKcode(const std::string& kcode);

}  // namespace kestrel::ruby
