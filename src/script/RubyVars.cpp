#include "script/RubyVars.h"

#include <ruby/ractor.h>

namespace kestrel::ruby {

// The host only ever runs on the main ractor, where these are the process-wide streams.
VALUE IOClass() { return rb_cIO; }

VALUE StdIn() { return rb_ractor_stdin(); }
VALUE StdOut() { return rb_ractor_stdout(); }
VALUE StdErr() { return rb_ractor_stderr(); }
void SetStdIn(VALUE io) { rb_ractor_stdin_set(io); }
void SetStdOut(VALUE io) { rb_ractor_stdout_set(io); }
void SetStdErr(VALUE io) { rb_ractor_stderr_set(io); }

VALUE ArgvArray() { return rb_get_argv(); }

VALUE ErrInfo() { return rb_errinfo(); }
void ClearErrInfo() { rb_set_errinfo(Qnil); }

}  // namespace kestrel::ruby
