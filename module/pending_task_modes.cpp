// Task modes whose archiver road is not built yet: each refuses with an Error
// line and a failure code so that no task is ever reported as done.
#include "module/hx_modules_common.h"

#include "log/hx_logger.h"

namespace {
void refuse(const char* what) {
  HxLogStream(HxLogLvl::Error) << what << ": this operation is not available in this build" << std::endl;
}
}  // namespace

std::string HxModuleUniversal::archive_sign_filename() const { return std::string(); }
int HxModuleUniversal::define_restore_directory() { refuse("define_restore_directory"); return 1; }
bool HxModuleUniversal::apply_replica() { refuse("apply_replica"); return false; }
void HxModuleUniversal::close_restore() {}
void HxModuleUniversal::remove_reference_snapshot_directory() {}
unsigned int HxModuleUniversal::backup_sequence(bool) { refuse("backup"); return 6; }
unsigned int HxModuleUniversal::restore_sequence() { refuse("restore"); return 7; }
unsigned int HxModuleUniversal::apply_sequence() { refuse("apply replica"); return 7; }
