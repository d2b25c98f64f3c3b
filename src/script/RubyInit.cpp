#include "script/RubyInit.h"

#include <ruby.h>
#include <ruby/encoding.h>

#include <array>
#include <csignal>
#include <cstdlib>

#include "script/AppPath.h"

namespace kestrel::ruby {
namespace {

bool Started = false;

// The interpreter installs its own handlers for these; they only act while Ruby code runs, so
// a host sitting in its event loop would never end on Ctrl+C or a termination request.
constexpr std::array HostSignals = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGALRM, SIGUSR1, SIGUSR2};

struct SavedSignals {
    std::array<struct sigaction, HostSignals.size()> Actions{};
};

SavedSignals SaveHostSignals() {
    SavedSignals saved;
    for (size_t i = 0; i < HostSignals.size(); ++i)
        sigaction(HostSignals[i], nullptr, &saved.Actions[i]);
    return saved;
}

void RestoreHostSignals(const SavedSignals& saved) {
    for (size_t i = 0; i < HostSignals.size(); ++i)
        sigaction(HostSignals[i], &saved.Actions[i], nullptr);
}

void ExtendRubyLib() {
    const std::string dir = InstallDirectory(GetAppPath("ruby"));
    if (dir.empty()) return;  // no installation found: the interpreter's default path applies
    const char* current = std::getenv("RUBYLIB");
    const std::string value = AppendSearchDir(current ? current : "", dir);
    setenv("RUBYLIB", value.c_str(), 1);
}

VALUE SetDefaultExternal(VALUE nameAddress) {
    const int index = rb_enc_find_index(reinterpret_cast<const char*>(nameAddress));
    if (index < 0) rb_raise(rb_eArgError, "unknown encoding");
    rb_enc_set_default_external(rb_enc_from_encoding(rb_enc_from_index(index)));
    return Qnil;
}

}  // namespace

void InitRuby() {
    if (Started) return;
    Started = true;

    // The interpreter keeps pointers into these (and may write the program title into them),
    // so they live as long as the process. The host's own command line is not the
    // interpreter's: "-e ''" gives it a program that does nothing.
    static char arg0[] = "kestrel";
    static char arg1[] = "-e";
    static char arg2[] = "";
    static char* args[] = {arg0, arg1, arg2, nullptr};
    int argc = 3;
    char** argv = args;

    const SavedSignals signals = SaveHostSignals();
    ruby_sysinit(&argc, &argv);
    ruby_init();
    // RUBYLIB must be in place before the load path is built from the environment.
    ExtendRubyLib();
    // Builds the load path (RUBYLIB included) and loads the interpreter's prelude (warn,
    // rubygems, the locale's encodings); the returned program is never run.
    ruby_options(argc, argv);
    ruby_script(arg0);
    RestoreHostSignals(signals);
}

bool RubyStarted() { return Started; }

const char* KcodeEncodingName(const std::string& kcode) {
    switch (kcode.empty() ? '\0' : kcode[0]) {
        case 'S':
        case 's':
            return "Windows-31J";
        case 'E':
        case 'e':
            return "EUC-JP";
        case 'U':
        case 'u':
            return "UTF-8";
        default:
            return "ASCII-8BIT";
    }
}

bool ApplyKcode(const std::string& kcode) {
    if (!Started) return false;
    int state = 0;
    rb_protect(SetDefaultExternal, reinterpret_cast<VALUE>(KcodeEncodingName(kcode)), &state);
    if (state != 0) rb_set_errinfo(Qnil);
    return state == 0;
}

}  // namespace kestrel::ruby
