#pragma once
// The interpreter's own variables that the host reads and writes: the IO class, the three
// standard streams, the argument array and the error of the last failed evaluation.
#include <ruby.h>

namespace kestrel::ruby {

VALUE IOClass();

VALUE StdIn();
VALUE StdOut();
VALUE StdErr();
// Plain assignments: unlike `$stdout = x` in Ruby they never raise, so they are safe for
// putting the streams back after a failed run.
void SetStdIn(VALUE io);
void SetStdOut(VALUE io);
void SetStdErr(VALUE io);

VALUE ArgvArray();

VALUE ErrInfo();
void ClearErrInfo();

}  // namespace kestrel::ruby
