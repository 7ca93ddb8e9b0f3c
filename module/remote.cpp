// Archiver runs on a remote host. The road over ssh and scp is not part of
// this build: a module that names a remote host gets a clean refusal before
// anything is run, so no backup is ever reported as made.
#include "module/hx_modules_common.h"

#include "log/hx_logger.h"

bool HxModuleUniversal::make_backup_remotely() {
  hxfd_succeeded_ = false;
  HxLogStream(HxLogLvl::Error) << "bool HxModuleUniversal::make_backup_remotely()"
                               << ": remote archiver runs are not available in this build (remote host: "
                               << options_.remote_host << ")" << std::endl;
  return false;
}

bool HxModuleUniversal::cleanup_remote_host(const std::string&) {
  HxLogStream(HxLogLvl::Error) << "bool HxModuleUniversal::cleanup_remote_host(const string&)"
                               << ": remote archiver runs are not available in this build" << std::endl;
  return false;
}
