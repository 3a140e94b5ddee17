// The trace log: one plain-text file per run, one line per notable step.
// Switched on by defining QUARN_NATIVE_TRACE_ENABLE; the file is chosen once
// per process (see launcher/trace_init.h) and stored in TraceFilePath.
//
// The texts of the trace lines and the result codes that the functions
// return and trace are part of what quarn is: other tools and people read
// trace files, and callers test the codes. They stay as they are written.
#ifndef QUARN_TRACE_TRACE_H_
#define QUARN_TRACE_TRACE_H_

#include <cstddef>
#include <string>

constexpr std::size_t kTraceFilePathSize = 32768;

/// The trace file's full path, NUL-terminated; empty until set up.
extern char TraceFilePath[kTraceFilePathSize];
/// The one way to set it: false, leaving no file, for a path that does not
/// fit or holds a NUL byte (a cut path could name another file).
bool SetTraceFilePath(const std::string& path);

/// Appends one line to the trace file. When the file cannot be opened, one
/// line on standard error says so and the rest of the run is not traced
/// (never a trace line there: they hold secrets). Conversions: %s and %S (narrow text,
/// non-printable bytes escaped as 0xHH; null writes nothing), %d (int),
/// %c (low byte, raw), %C (low byte, escaped), %x (int as unsigned lower-case
/// hexadecimal). Any other character after '%' writes nothing and takes no
/// argument. No format attribute on purpose: %S is not printf's %S.
void TraceMessage(const char* format, ...);

/// True when QUARN_NATIVE_TRACE_ENABLE is defined (any value).
bool TraceEnabled();

/// Looks the switch up once more and keeps that answer for the rest of the
/// process. For a program that never changes its own environment: a lookup
/// scans the whole environment, and a command with a large environment
/// traces thousands of times.
void TraceFreezeSwitch();

/// Replaces `out` with the timestamp "YYYY.MM.DD_hh.mm.ss.mmm" of now.
void FormatTraceTimestamp(std::string& out);

#endif  // QUARN_TRACE_TRACE_H_
