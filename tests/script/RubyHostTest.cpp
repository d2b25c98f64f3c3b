// Everything here shares one interpreter: it starts once per process, with whichever case runs
// first, always through StartOnce() below.
#include <gtest/gtest.h>
#include <ruby.h>
#include <sys/stat.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/TextFile.h"
#include "script/RubyCapture.h"
#include "script/RubyHost.h"
#include "script/RubyInit.h"
#include "support/TempDir.h"

using Lines = std::vector<std::string>;

namespace {

struct StartRecord {
    std::string InstallDir;  // where the stand-in `ruby` on PATH lives
    std::string RubyLib;     // RUBYLIB right after the start
};

// Starts the interpreter with a `ruby` of our own first on PATH and RUBYLIB already set.
const StartRecord& StartOnce() {
    static kestrel::test::TempDir dir;
    static const StartRecord record = [] {
        const std::string ruby = dir.WriteBytes("ruby", "#!/bin/sh\n");
        chmod(ruby.c_str(), 0755);
        const std::string oldPath = std::getenv("PATH") ? std::getenv("PATH") : "";
        setenv("PATH", (dir.Path() + ":" + oldPath).c_str(), 1);
        setenv("RUBYLIB", "/d/lib", 1);
        TRubyHost host;
        setenv("PATH", oldPath.c_str(), 1);
        const char* lib = std::getenv("RUBYLIB");
        return StartRecord{dir.Path(), lib ? lib : ""};
    }();
    return record;
}

Lines RunScript(const Lines& script, const Lines& params = {}) {
    StartOnce();
    TRubyHost host;
    host.SetScript(script);
    host.SetParams(params);
    Lines output{"left over from before"};
    host.Execute(&output);
    return output;
}

bool StreamsAreTheProcessStreams() {
    return rb_eval_string(
               "$stdout.equal?(STDOUT) && $stderr.equal?(STDERR) && "
               "$stdin.equal?(STDIN)") == Qtrue;
}

// Input for "gets" and "getc" from memory instead of the process's standard input.
class Input {
public:
    explicit Input(const std::string& bytes) : Bytes(bytes) {
        File = fmemopen(Bytes.data(), Bytes.size(), "r");
        kestrel::ruby::SetCaptureInput(File);
    }
    ~Input() {
        kestrel::ruby::SetCaptureInput(nullptr);
        std::fclose(File);
    }

private:
    std::string Bytes;
    std::FILE* File;
};

}  // namespace

TEST(RubyStart, StartsOnceWithTheInstallationFolderLastOnRubyLib) {
    const StartRecord& start = StartOnce();
    EXPECT_TRUE(kestrel::ruby::RubyStarted());
    EXPECT_EQ(start.RubyLib, "/d/lib:" + start.InstallDir);
    // RUBYLIB was extended before the load path was built from it, in that order.
    EXPECT_EQ(
        RunScript({"i = $LOAD_PATH.index('/d/lib')",
                   "j = $LOAD_PATH.index('" + start.InstallDir + "')", "print i && j && i < j"}),
        Lines{"true"});

    // A second host neither restarts the interpreter nor extends RUBYLIB again.
    RunScript({"$kept = 42"});
    TRubyHost second;
    EXPECT_EQ(std::string(std::getenv("RUBYLIB")), start.RubyLib);
    EXPECT_EQ(RunScript({"print $kept"}), Lines{"42"});

    // The interpreter's handlers only act while Ruby code runs; the host keeps its own, so
    // Ctrl+C and termination requests still end it.
    struct sigaction action {};
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(sig, nullptr, &action);
        EXPECT_EQ(action.sa_handler, SIG_DFL) << sig;
    }
}

TEST(RubyCapture, WritesBecomeLinesOfOneText) {
    // Two writes, the first without a line break, make one entry; the list is replaced, not
    // appended to.
    EXPECT_EQ(RunScript({"print 'abc'", "print \"def\\n\""}), Lines{"abcdef"});
    EXPECT_EQ(kestrel::ruby::CapturedText(), "abcdef\n");
    // An empty write adds nothing and counts 0; a run that writes nothing leaves no lines.
    EXPECT_EQ(RunScript({"n = $stdout.write('')", "print n"}), Lines{"0"});
    EXPECT_EQ(RunScript({"nil"}), Lines{});
    // Every way of writing to either stream ends up in the same list, in order.
    EXPECT_EQ(RunScript({"puts 'a'", "p 1", "$stderr.write \"e\\n\"", "warn 'w'",
                         "$stderr.puts 'x'", "printf(\"%d\\n\", 5)", "$stdout.sync = true",
                         "$stdout.flush", "print 'y', 'z'"}),
              (Lines{"a", "1", "e", "w", "x", "5", "yz"}));
    // CR LF split over two writes is one line break; a lone CR is one too.
    EXPECT_EQ(RunScript({"print \"a\\r\"", "print \"\\nb\\r\"", "print 'c'"}),
              (Lines{"a", "b", "c"}));
    // Script text and output are UTF-8.
    EXPECT_EQ(RunScript({"print '日本'.length, '日本'"}), Lines{"2日本"});
    // Streams a script assigns itself are put back too.
    RunScript({"require 'stringio'", "$stdout = StringIO.new", "$stderr = $stdout"});
    EXPECT_TRUE(StreamsAreTheProcessStreams());
}

TEST(RubyCapture, LongOutputStaysInStepWithTheCapturedText) {
    // Line ends of every kind: CR LF split over two writes, CR LF in one, a lone CR followed
    // by more text.
    const Lines output =
        RunScript({"3000.times do |i|", "  print 'line', i", "  print(i % 3 == 1 ? '' : \"\\r\")",
                   "  print([\"\\n\", \"\\r\\n\", \"x\\n\"][i % 3])", "end", "print \"tail\\r\"",
                   "print 'more'"});
    EXPECT_EQ(output, kestrel::SplitLines(kestrel::ruby::CapturedText()));
    ASSERT_EQ(output.size(), 3000u + 1000u + 2u);  // every third line has an extra "x" line
    EXPECT_EQ(output[0], "line0");
    EXPECT_EQ(output[1], "line1");
    EXPECT_EQ(output[2], "line2");
    EXPECT_EQ(output[3], "x");
    EXPECT_EQ(output[output.size() - 2], "tail");
    EXPECT_EQ(output.back(), "more");
}

TEST(RubyCapture, FailuresAreCapturedAndNeverReachTheHost) {
    // The message joins an unterminated last line.
    EXPECT_EQ(RunScript({"puts 'first'", "print 'partial'", "raise 'boom'"}),
              (Lines{"first", "partialboom"}));
    EXPECT_TRUE(StreamsAreTheProcessStreams());

    const Lines syntax = RunScript({"1 +"});
    ASSERT_EQ(syntax.size(), 1u);
    EXPECT_NE(syntax[0].find("syntax error"), std::string::npos) << syntax[0];
    EXPECT_TRUE(StreamsAreTheProcessStreams());

    // `exit` ends the script, not the host.
    EXPECT_EQ(RunScript({"print 'before '", "exit 3", "print 'after'"}), Lines{"before exit"});
    EXPECT_EQ(RunScript({"abort 'bye'"}), (Lines{"bye", "bye"}));
    EXPECT_TRUE(StreamsAreTheProcessStreams());

    // An error whose message itself fails still leaves the host running.
    RunScript({"class Odd < StandardError; def to_s; raise 'inner'; end; end", "raise Odd"});
    EXPECT_TRUE(StreamsAreTheProcessStreams());

    // Text stops at a NUL byte, the count does not.
    EXPECT_EQ(RunScript({"n = $stdout.write(\"ab\\0cd\")", "print n"}), Lines{"ab5"});

    // Before and after handlers run around every run, failed or not.
    StartOnce();
    TRubyHost host;
    std::vector<std::string> events;
    host.SetBeforeExec([&](TRubyHost& h) {
        events.push_back("before");
        EXPECT_EQ(&h, &host);
        EXPECT_EQ(RARRAY_LEN(rb_get_argv()), 0);  // emptied before the handler runs
    });
    host.SetAfterExec([&](TRubyHost&) {
        events.push_back(StreamsAreTheProcessStreams() ? "after" : "after, streams captured");
    });
    host.SetParams({"x"});
    host.SetScript({"raise 'x'"});
    host.Execute(nullptr);
    host.SetScript({"print 1"});
    host.Execute(nullptr);
    EXPECT_EQ(events, (Lines{"before", "after", "before", "after"}));
}

TEST(RubyCapture, ParamsAreTheArgumentArray) {
    EXPECT_EQ(RunScript({"print ARGV.size, ':', ARGV[1], ':', ARGV[1].length"}, {"1", "日本"}),
              Lines{"2:日本:2"});
    EXPECT_EQ(RunScript({"print ARGV.inspect"}), Lines{"[]"});
}

TEST(RubyCapture, WithoutAnOutputListTheTextIsStillCaptured) {
    StartOnce();
    TRubyHost host;
    Lines output;
    host.SetScript({"print 'x'"});
    host.Execute(&output);
    host.SetScript({"puts 'a'", "print 'b'"});
    host.Execute();
    EXPECT_EQ(kestrel::ruby::CapturedText(), "a\nb");
    EXPECT_EQ(output, Lines{"x"});  // the list of an earlier run is not touched
}

TEST(RubyInput, GetsAndGetcReadTheInput) {
    {
        Input input("first\r\n\n\x04skip\nlast");
        EXPECT_EQ(
            RunScript({"p $stdin.gets", "p $stdin.gets, $_", "p gets", "p $stdin.gets, $_",
                       "p $stdin.gets"}),
            (Lines{"\"first\\n\"", "nil", "nil", "nil", "\"last\\n\"", "\"last\\n\"", "nil"}));
    }
    {
        Input input(std::string("A\0", 2));
        // A 0 byte and the end of input both read as nil.
        EXPECT_EQ(RunScript({"p $stdin.getc, $stdin.getc, $stdin.getc"}),
                  (Lines{"65", "nil", "nil"}));
    }
}

TEST(RubyKcode, SelectsTheDefaultExternalEncoding) {
    StartOnce();
    TRubyHost host;
    host.SetScript({"print Encoding.default_external"});
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"SJIS", "Windows-31J"}, {"s", "Windows-31J"}, {"EUC", "EUC-JP"},
        {"e", "EUC-JP"},         {"UTF8", "UTF-8"},    {"u", "UTF-8"},
        {"NONE", "ASCII-8BIT"},  {"n", "ASCII-8BIT"},  {"x", "ASCII-8BIT"}};
    for (const auto& [kcode, encoding] : cases) {
        host.SetKcode(kcode);
        EXPECT_EQ(host.Kcode(), kcode);
        Lines output;
        host.Execute(&output);
        EXPECT_EQ(output, Lines{encoding}) << kcode;
    }

    // With Shift-JIS, input lines are Shift-JIS strings and what is written comes back UTF-8.
    host.SetKcode("SJIS");
    Input input("\x93\xfa\x96\x7b\n");
    host.SetScript(
        {"line = $stdin.gets.chomp", "print line.encoding, ' ', line.length, ' ', line"});
    Lines output;
    host.Execute(&output);
    EXPECT_EQ(output, Lines{"Windows-31J 2 日本"});
    host.SetKcode("UTF8");
}
