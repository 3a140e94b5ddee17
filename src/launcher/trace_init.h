#ifndef QUARN_LAUNCHER_TRACE_INIT_H_
#define QUARN_LAUNCHER_TRACE_INIT_H_

/// Chooses this run's trace file, "<configDir>/trace/quarn_c_<timestamp>.txt",
/// else the same under the temporary directory, creating the "trace"
/// directory (mode 0700) either way; leaves TraceFilePath empty when neither
/// works or the path does not fit. Runs whether or not tracing is on.
void TraceInit(const char* configDir);

#endif  // QUARN_LAUNCHER_TRACE_INIT_H_
