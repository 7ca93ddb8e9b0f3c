// Backup hooks that are not built yet: each refuses with an Error line so
// that no backup is ever reported as made.
#include "postgresql/hx_module_pg_ostrel.h"

#include "log/hx_logger.h"

bool HxModule_PG_Ostrel::prepare_resource_before_backup(const bool&) {
  HxLogStream(HxLogLvl::Error) << "backup: this operation is not available in this build" << std::endl;
  return false;
}

bool HxModule_PG_Ostrel::release_resource_after_backup() {
  HxLogStream(HxLogLvl::Error) << "release after backup: this operation is not available in this build"
                               << std::endl;
  return false;
}
