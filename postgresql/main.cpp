// Entry point of hx_module_pg_ostrel, the PostgreSQL data-source module.
#include "postgresql/hx_module_pg_ostrel.h"

#include "log/hx_logger.h"
#include "module/hx_modules_common.h"
#include "utils/hx_utils_common.h"

#include <boost/filesystem.hpp>

#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
  // Before anything opens a file or a connection: a closed standard
  // descriptor would otherwise take it, and answers would go into it.
  hx_utils_common::prepare_standard_streams();

  // The LVM tools run later inherit this and stay quiet about descriptors
  // they find open.
  setenv("LVM_SUPPRESS_FD_WARNINGS", "1", 1);

  const std::string program = (argc > 0 && argv[0] != nullptr) ? argv[0] : "";
  const std::string log_file = "/opt/halvex/log/" + boost::filesystem::path(program).filename().string() + ".log";
  HxLogStream::set_default_loggers(HxDestination::File(log_file), HxDestination::Stdout());
  HxLogStream::set_log_level_logger(HxLogLvl::Error, HxDestination::File(log_file), HxDestination::Stdout());

  HxModuleOptions options;
  options.capabilities[HxModuleCapability::OneOperationAtATime] = true;
  options.capabilities[HxModuleCapability::AutonomousMode] = false;
  options.capabilities[HxModuleCapability::IncrementalBackup] = true;
  options.capabilities[HxModuleCapability::Deduplication] = true;
  options.capabilities[HxModuleCapability::Archiving] = false;
  options.restriction_list_file = "/opt/halvex/etc/halvex_restriction.list.pg_ostrel";

  // Destroyed before main returns: signal dispositions go back to their
  // defaults and the resource lock is released.
  HxModule_PG_Ostrel module(options);

  if (!module.init(argc, argv)) {
    HxLogStream(HxLogLvl::Error) << "Wrong combination of options" << std::endl;
    // The client's administrator learns which option is missing or which
    // options do not go together.
    if (!module.options_refusal().empty()) HxLogStream(HxLogLvl::Error) << module.options_refusal() << std::endl;
    return 14;
  }
  if (!module.prapare_module()) {
    HxLogStream(HxLogLvl::Error) << "Can't prepare module" << std::endl;
    return 2;
  }
  return answer_exit_code(static_cast<int>(module.run()));
}
