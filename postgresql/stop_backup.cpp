// Ending the server's non-exclusive backup mode on the module's long-lived
// transaction, with the statement that suits the server's major version.
#include "postgresql/hx_module_pg_ostrel.h"

#include "log/hx_logger.h"

#include <exception>
#include <stdexcept>
#include <string>

namespace {

const char* const kStopSignature = "bool HxModule_PG_Ostrel::pg_stop_backup(pqxx::result&)";

// The stop statement of a server of the given major version: 9.6 has the
// old function with the exclusive flag only, 15 renamed it, 10 to 14 take the
// flag of waiting for the WAL archive as well.
std::string stop_statement(unsigned int major) {
  if (major == 9) return "SELECT * FROM pg_stop_backup(false)";
  if (major >= 15) return "SELECT pg_backup_stop(true)";
  return "SELECT pg_stop_backup(false, true)";
}

}  // namespace

bool HxModule_PG_Ostrel::pg_stop_backup(pqxx::result& result) {
  const std::string statement = stop_statement(pg_version_.major);
  try {
    // Backup mode belongs to the session that started it: the statement must
    // run on the same transaction as the start.
    if (!transaction_) throw std::logic_error("no database transaction");
    result = transaction_->exec(statement, "");
    if (!result.empty()) {  // GCOVR_EXCL_BR_LINE: a SELECT of a function in its select list returns one row
      HxLogStream(HxLogLvl::Info) << "Stop PostgreSQL base backup" << std::endl;
      return true;
    }
    HxLogStream(HxLogLvl::Error) << kStopSignature << ": empty result of sql command: " << statement << std::endl;  // GCOVR_EXCL_LINE: a SELECT of a function in its select list returns one row
  } catch (const std::exception& e) {
    HxLogStream(HxLogLvl::Error) << kStopSignature << ": " << e.what() << std::endl;
  }
  return false;
}

void HxModule_PG_Ostrel::pg_stop_backup() {
  pqxx::result result;
  pg_stop_backup(result);
}
