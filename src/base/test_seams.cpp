#include "base/test_seams.h"

#include <cstdlib>
#include <cstring>
#include <unistd.h>

std::string test_seam(const char* name) {
  std::string var = std::string("RESTCORE_TEST_") + name;
  const char* v = std::getenv(var.c_str());
  return v ? std::string(v) : std::string();
}

bool test_seam_on(const char* name) {
  std::string v = test_seam(name);
  return !v.empty() && v != "0";
}

uint32_t test_seam_ms(const char* name, uint32_t fallback) {
  std::string v = test_seam(name);
  if (v.empty()) return fallback;
  char* end = nullptr;
  unsigned long n = std::strtoul(v.c_str(), &end, 10);
  if (end == v.c_str() || *end != '\0' || n == 0 || n > 0xFFFFFFFFul) return fallback;
  return static_cast<uint32_t>(n);
}

void test_crash_point(const char* point) {
  const char* v = std::getenv("RESTCORE_TEST_CRASH_AT");
  if (v && point && std::strcmp(v, point) == 0) _exit(86);
}
