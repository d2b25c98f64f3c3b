#include "script/RubyHost.h"

#include "script/AppPath.h"
#include "script/RubyCapture.h"
#include "script/RubyInit.h"

TRubyHost::TRubyHost(bool designMode) {
    if (!designMode) InitRuby();
}

TRubyHost::~TRubyHost() = default;  // the interpreter lives on for the rest of the process

void TRubyHost::SetKcode(const std::string& kcode) {
    FKcode = kcode;
    kestrel::ruby::ApplyKcode(kcode);
}

void TRubyHost::Execute(std::vector<std::string>* output) {
    // A host made in design mode has not started the interpreter; running a script needs it.
    InitRuby();
    kestrel::ruby::ClearArgv();
    DoBeforeExec();
    std::string source;
    for (const std::string& line : FScript) source.append(line).append("\r\n");
    kestrel::ruby::RunCaptured(source, FParams, output);
    DoAfterExec();
}

void TRubyHost::InitRuby() { kestrel::ruby::InitRuby(); }

std::string TRubyHost::GetAppPath(const std::string& name) {
    return kestrel::ruby::GetAppPath(name);
}

void TRubyHost::DoBeforeExec() {
    if (FBeforeExec) FBeforeExec(*this);
}

void TRubyHost::DoAfterExec() {
    if (FAfterExec) FAfterExec(*this);
}
