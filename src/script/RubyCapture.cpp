#include "script/RubyCapture.h"

#include <ruby.h>
#include <ruby/encoding.h>

#include <cstring>
#include <stdexcept>

#include "common/TextFile.h"
#include "script/RubyVars.h"

// Ruby reports errors by long-jumping through the C stack. Every function below that calls the
// interpreter therefore keeps no C++ object with a destructor alive in its own frame; the C++
// work happens in noexcept helpers that return before the interpreter is called again.

namespace kestrel::ruby {
namespace {

// Captured text plus its line list, kept up to date after each write without splitting the
// whole text again: lines that are complete never change, only the last one can grow.
class CaptureSink {
public:
    void Begin(std::vector<std::string>* target) noexcept {
        Text.clear();
        Target = target;
        FinalEnd = 0;
        FinalLines = 0;
        if (Target) Target->clear();
    }
    void End() noexcept { Target = nullptr; }

    bool Append(const char* data, size_t size) noexcept {
        try {
            Text.append(data, size);
            if (Target) UpdateTarget();
            return true;
        } catch (...) {
            return false;
        }
    }

    const std::string& Captured() const { return Text; }

private:
    void UpdateTarget() {
        if (Target->size() < FinalLines) {  // someone else shortened the list: start over
            FinalEnd = 0;
            FinalLines = 0;
        }
        Target->resize(FinalLines);
        const std::string_view tail = std::string_view(Text).substr(FinalEnd);
        std::vector<std::string> lines = SplitLines(tail);
        // A last line without a line break may still grow, and a trailing CR may be the first
        // half of a CR LF; everything before that last line is final.
        size_t openStart = tail.size();
        if (!tail.empty() && tail.back() != '\n') {
            const size_t searchEnd = tail.back() == '\r' ? tail.size() - 1 : tail.size();
            const size_t lastBreak = tail.substr(0, searchEnd).find_last_of("\r\n");
            openStart = lastBreak == std::string_view::npos ? 0 : lastBreak + 1;
        }
        const size_t finalCount = openStart == tail.size() ? lines.size() : lines.size() - 1;
        for (auto& line : lines) Target->push_back(std::move(line));
        FinalEnd += openStart;
        FinalLines += finalCount;
    }

    std::string Text;
    std::vector<std::string>* Target = nullptr;
    size_t FinalEnd = 0;    // Text up to here is split into final lines
    size_t FinalLines = 0;  // number of those lines at the front of *Target
};

CaptureSink Sink;
std::FILE* Input = nullptr;
std::string InputLine;

VALUE CaptureObject = Qnil;
VALUE TopSelf = Qnil;
VALUE SavedIn = Qnil;
VALUE SavedOut = Qnil;
VALUE SavedErr = Qnil;

// One line of input without its line end into InputLine, with "\n" appended. False, for an
// empty line, a line starting with 0x04 (end of transmission) or the end of input.
bool NextInputLine() noexcept {
    try {
        InputLine.clear();
        std::FILE* in = Input ? Input : stdin;
        int c;
        while ((c = std::fgetc(in)) != EOF && c != '\n') InputLine.push_back(static_cast<char>(c));
        if (!InputLine.empty() && InputLine.back() == '\r') InputLine.pop_back();
        if (InputLine.empty() || InputLine[0] == '\x04') return false;
        InputLine.push_back('\n');
        return true;
    } catch (...) {
        return false;
    }
}

VALUE CaptureWrite(VALUE, VALUE value) {
    const VALUE str = RB_TYPE_P(value, T_STRING) ? value : rb_obj_as_string(value);
    const long size = RSTRING_LEN(str);
    if (size > 0) {
        // The program's text is UTF-8; a string in another encoding (Shift-JIS after
        // Kcode = "SJIS", say) is converted, or kept as it is where it does not convert.
        const VALUE utf8 = rb_str_conv_enc(str, rb_enc_get(str), rb_utf8_encoding());
        const char* data = RSTRING_PTR(utf8);
        const size_t kept = strnlen(data, static_cast<size_t>(RSTRING_LEN(utf8)));
        if (!Sink.Append(data, kept)) rb_memerror();
    }
    return LONG2NUM(size);
}

VALUE CaptureGets(VALUE) {
    VALUE line = Qnil;
    if (NextInputLine())
        line = rb_enc_str_new(InputLine.data(), static_cast<long>(InputLine.size()),
                              rb_default_external_encoding());
    rb_lastline_set(line);
    return line;
}

VALUE CaptureGetc(VALUE) {
    const int c = std::fgetc(Input ? Input : stdin);
    // A 0 byte reads as nil, as the end of input does.
    return c == EOF || c == 0 ? Qnil : INT2FIX(c);
}

// Stream housekeeping that scripts commonly do at their start; there is no buffer to manage.
VALUE CaptureFlush(VALUE self) { return self; }
VALUE CaptureSync(VALUE) { return Qtrue; }
VALUE CaptureSetSync(VALUE, VALUE value) { return value; }

VALUE CreateCapture(VALUE) {
    const VALUE klass = rb_class_new(IOClass());
    // Each method exists on the class and on its instance, and both are public, so that
    // `$stdout.write` and `$stdin.gets` work as they do on a real stream.
    rb_define_method(klass, "write", CaptureWrite, 1);
    rb_define_singleton_method(klass, "write", CaptureWrite, 1);
    rb_define_method(klass, "gets", CaptureGets, 0);
    rb_define_singleton_method(klass, "gets", CaptureGets, 0);
    rb_define_method(klass, "getc", CaptureGetc, 0);
    rb_define_singleton_method(klass, "getc", CaptureGetc, 0);
    rb_define_method(klass, "flush", CaptureFlush, 0);
    rb_define_singleton_method(klass, "flush", CaptureFlush, 0);
    rb_define_method(klass, "sync", CaptureSync, 0);
    rb_define_method(klass, "sync=", CaptureSetSync, 1);
    TopSelf = rb_eval_string("self");
    CaptureObject = rb_data_object_wrap(klass, nullptr, nullptr, nullptr);
    return Qnil;
}

void EnsureCapture() {
    if (!NIL_P(CaptureObject)) return;
    static bool rooted = false;
    if (!rooted) {
        // Roots for the collector: the capture object, and the streams it stands in for while
        // they may be referenced from nowhere else.
        for (VALUE* root : {&CaptureObject, &TopSelf, &SavedIn, &SavedOut, &SavedErr})
            rb_global_variable(root);
        rooted = true;
    }
    int state = 0;
    rb_protect(CreateCapture, Qnil, &state);
    if (state != 0) {
        ClearErrInfo();
        CaptureObject = Qnil;
        throw std::runtime_error("the Ruby capture class could not be created");
    }
}

class InstalledCapture {
public:
    InstalledCapture() {
        SavedIn = StdIn();
        SavedOut = StdOut();
        SavedErr = StdErr();
        SetStdIn(CaptureObject);
        SetStdOut(CaptureObject);
        SetStdErr(CaptureObject);
    }
    ~InstalledCapture() {
        SetStdIn(SavedIn);
        SetStdOut(SavedOut);
        SetStdErr(SavedErr);
        SavedIn = SavedOut = SavedErr = Qnil;
    }
    InstalledCapture(const InstalledCapture&) = delete;
    InstalledCapture& operator=(const InstalledCapture&) = delete;
};

VALUE ClearArgvArray(VALUE) {
    rb_ary_clear(ArgvArray());
    return Qnil;
}

VALUE FillArgv(VALUE paramsAddress) {
    const auto& params = *reinterpret_cast<const std::vector<std::string>*>(paramsAddress);
    const VALUE argv = ArgvArray();
    rb_ary_clear(argv);
    for (const std::string& param : params) {
        const VALUE arg = rb_utf8_str_new(param.data(), static_cast<long>(param.size()));
        rb_ary_push(argv, rb_obj_freeze(arg));
    }
    return Qnil;
}

VALUE Evaluate(VALUE sourceAddress) {
    const auto& source = *reinterpret_cast<const std::string*>(sourceAddress);
    const VALUE text = rb_utf8_str_new(source.data(), static_cast<long>(source.size()));
    return rb_funcall(TopSelf, rb_intern("eval"), 4, text, Qnil, rb_str_new_cstr("script"),
                      INT2FIX(1));
}

VALUE WriteError(VALUE error) { return CaptureWrite(Qnil, error); }

// The error of a failed step goes to the output as the program's own write would.
void CaptureFailure() {
    const VALUE error = ErrInfo();
    ClearErrInfo();
    int state = 0;
    rb_protect(WriteError, error, &state);
    if (state != 0) ClearErrInfo();
}

}  // namespace

void ClearArgv() {
    int state = 0;
    rb_protect(ClearArgvArray, Qnil, &state);
    if (state != 0) ClearErrInfo();
}

void RunCaptured(const std::string& source, const std::vector<std::string>& params,
                 std::vector<std::string>* output) {
    EnsureCapture();
    const InstalledCapture installed;
    Sink.Begin(output);
    int state = 0;
    rb_protect(FillArgv, reinterpret_cast<VALUE>(&params), &state);
    if (state == 0) rb_protect(Evaluate, reinterpret_cast<VALUE>(&source), &state);
    if (state != 0) CaptureFailure();
    // A thread the program left running may still write later; that reaches the captured
    // text only, never a list the caller may have freed by then.
    Sink.End();
}

const std::string& CapturedText() { return Sink.Captured(); }

void SetCaptureInput(std::FILE* input) { Input = input; }

}  // namespace kestrel::ruby
