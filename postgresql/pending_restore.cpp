// Restore hooks that are not built yet: each refuses with an Error line so
// that no restore is ever reported as made.
#include "postgresql/hx_module_pg_ostrel.h"

#include "log/hx_logger.h"

namespace {
bool refuse(const char* what) {
  HxLogStream(HxLogLvl::Error) << what << ": this operation is not available in this build" << std::endl;
  return false;
}
}  // namespace

bool HxModule_PG_Ostrel::before_restore() { return refuse("restore"); }
bool HxModule_PG_Ostrel::after_restore() { return refuse("restore"); }
bool HxModule_PG_Ostrel::after_restore_last_file() { return refuse("restore"); }
bool HxModule_PG_Ostrel::deployment(const bool&) { return refuse("deployment"); }
