// The one place that reads the test seams: environment variables named RESTCORE_TEST_*. Each is
// inert when unset, so a production run never takes a test path. Values are read on every call
// (cheap getenv), so a test may set them before starting the binary. Safe from any thread.
#pragma once
#include <cstdint>
#include <string>

// The raw value of RESTCORE_TEST_<name>, or empty when unset.
std::string test_seam(const char* name);
// True when RESTCORE_TEST_<name> is set to a non-empty value other than "0".
bool test_seam_on(const char* name);
// RESTCORE_TEST_<name> as milliseconds when set to a positive number, else `fallback`.
uint32_t test_seam_ms(const char* name, uint32_t fallback);
// A named crash point: when RESTCORE_TEST_CRASH_AT equals `point`, the process ends at once with
// _exit(86), as a kill at that spot would, without flushing or unwinding.
void test_crash_point(const char* point);
