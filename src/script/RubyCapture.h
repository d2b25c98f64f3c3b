#pragma once
// The run core: a program runs with the interpreter's standard input, output and error on one
// capture object, and everything it writes is collected as text and as a list of lines.
#include <cstdio>
#include <string>
#include <vector>

namespace kestrel::ruby {

// Empties the interpreter's argument array (ARGV).
void ClearArgv();

// Runs `source` (UTF-8) with ARGV set to `params`. The three standard streams point at the
// capture object during the run and are put back afterwards whatever the program did. A
// failure (syntax error, exception, `exit`) is not raised to the caller: its message is
// captured as if the program had written it. `output`, when given, is emptied first and then
// holds the captured text split into lines after each write.
void RunCaptured(const std::string& source, const std::vector<std::string>& params,
                 std::vector<std::string>* output);

// Everything written through the capture object since the last run began.
const std::string& CapturedText();

// Where "gets" and "getc" read from; nullptr (the default) is the process's standard input.
void SetCaptureInput(std::FILE* input);

}  // namespace kestrel::ruby
