#pragma once
// TRubyHost: the embedded Ruby interpreter as a component. Creating one starts the interpreter
// (once per process); Execute runs its Script with Params and captures what it writes.
#include <functional>
#include <string>
#include <vector>

class TRubyHost {
public:
    using TNotifyEvent = std::function<void(TRubyHost&)>;

    // A host made in design mode leaves the interpreter alone.
    explicit TRubyHost(bool designMode = false);
    virtual ~TRubyHost();
    TRubyHost(const TRubyHost&) = delete;
    TRubyHost& operator=(const TRubyHost&) = delete;

    // The program, one source line per entry, and its arguments (ARGV), in order.
    std::vector<std::string>& Script() { return FScript; }
    const std::vector<std::string>& Script() const { return FScript; }
    void SetScript(const std::vector<std::string>& lines) { FScript = lines; }
    std::vector<std::string>& Params() { return FParams; }
    const std::vector<std::string>& Params() const { return FParams; }
    void SetParams(const std::vector<std::string>& params) { FParams = params; }

    const TNotifyEvent& BeforeExec() const { return FBeforeExec; }
    void SetBeforeExec(TNotifyEvent handler) { FBeforeExec = std::move(handler); }
    const TNotifyEvent& AfterExec() const { return FAfterExec; }
    void SetAfterExec(TNotifyEvent handler) { FAfterExec = std::move(handler); }

    // The kanji code as last assigned ("SJIS", "EUC", "UTF8", "NONE" or their first letters).
    // Assigning also sets the interpreter's default external encoding (Windows-31J, EUC-JP,
    // UTF-8, ASCII-8BIT) when the interpreter is running.
    const std::string& Kcode() const { return FKcode; }
    void SetKcode(const std::string& kcode);

    // Runs Script with Params. Everything the program writes to $stdout and $stderr is
    // collected; `output`, when given, holds it as lines. A program that fails to parse,
    // raises or exits never raises here: its error message is collected like a write.
    void Execute(std::vector<std::string>* output = nullptr);

    // Starts the interpreter if it is not running yet.
    static void InitRuby();
    // Full path of the named program as the platform finds it, or empty.
    static std::string GetAppPath(const std::string& name);

protected:
    virtual void DoBeforeExec();
    virtual void DoAfterExec();

private:
    std::vector<std::string> FScript;
    std::vector<std::string> FParams;
    TNotifyEvent FAfterExec;
    TNotifyEvent FBeforeExec;
    std::string FKcode;
};
