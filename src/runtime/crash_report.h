// The crash report: a handler for the fatal signals (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT)
// that runs on its own alternate stack, appends the signal, the fault address, the instruction and
// stack pointers and a backtrace to `crash.log` in the current directory, tells standard error,
// and lets the process die of the same signal (so its exit status is non-zero). Installed first
// thing at start-up by the main thread; the handler itself makes only async-signal-safe calls. When
// two threads fault at once, the first writes the report and the second waits for it.
#pragma once

#include "base/result_code.h"

// Installs the handler for every fatal signal. RC_OK, or RC_ERROR when the alternate stack or a
// handler could not be set (the process then simply runs without a crash report).
ResultCode crash_report_install();

// Gives the calling thread its own alternate signal stack, so a stack overflow in that thread is
// reported too (the handler cannot run on an exhausted stack). The main thread gets one from
// crash_report_install; worker threads may call this when they start. RC_OK, RC_MEMORY, RC_ERROR.
ResultCode crash_report_thread_attach();

// Test-only: when RESTCORE_TEST_CRASH_SEGV is on, faults with a real invalid memory access so the
// installed handler runs exactly as for a genuine crash. Does nothing otherwise.
void crash_report_test_trigger();
