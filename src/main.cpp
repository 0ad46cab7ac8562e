// Entry point: wires the subsystems in start-up order. Filled in by the runtime start-up module.
#include "runtime/log.h"

int main() {
  log_info(CAT_GEN, "rest_core placeholder");
  return 0;
}
