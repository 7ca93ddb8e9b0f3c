// Ending the server's non-exclusive backup mode on the module's long-lived
// transaction, with the statement that suits the server's major version.
//
// The stop statement waits until the server has archived the WAL files the
// backup needs. That wait is bounded: a watcher on a connection of its own
// reads pg_stat_archiver once a second while the statement runs, and when the
// server's archiver has archived no WAL file for the stall bound (its
// archive command failing or hanging), it cancels the statement. An archiver
// that is busy with a backlog keeps archiving and is waited for.
#include "postgresql/hx_module_pg_ostrel.h"

#include "log/hx_logger.h"

#include <boost/algorithm/string/trim.hpp>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <exception>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

#include <pthread.h>

namespace {

const char* const kStopSignature = "bool HxModule_PG_Ostrel::pg_stop_backup(pqxx::result&)";

// How long the stop may wait at least while the server's archiver archives
// nothing. The archiver retries a failing file three times a second apart
// and then sleeps up to a minute unless new WAL wakes it; a healthy archiver
// that is behind keeps archiving and never reaches the bound. An archive
// command that takes longer per file needs a longer wal_wait_timeout, which
// then bounds the stall instead.
constexpr long kArchiveStallSeconds = 60;

// The stop statement of a server of the given major version: 9.6 has the
// old function with the exclusive flag only, 15 renamed it, 10 to 14 take the
// flag of waiting for the WAL archive as well.
std::string stop_statement(unsigned int major) {
  if (major == 9) return "SELECT * FROM pg_stop_backup(false)";
  if (major >= 15) return "SELECT pg_backup_stop(true)";
  return "SELECT pg_stop_backup(false, true)";
}

// One reading of pg_stat_archiver.
struct ArchiverReading {
  bool read = false;
  std::string error;  // why it could not be read
  long long archived_count = 0;
  long long failed_count = 0;
  std::string last_failed_wal;
  std::string last_failed_time;
};

// Watches the server's archiver while the stop statement runs on
// `statement_connection`, and cancels the statement when no WAL file was
// archived for `bound` seconds. Its thread takes no signals.
class ArchiveWatch {
 public:
  ArchiveWatch(std::string conn_string, std::weak_ptr<pqxx::connection> statement_connection, long bound)
      : conn_string_(std::move(conn_string)), statement_connection_(std::move(statement_connection)), bound_(bound) {
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &previous);
    thread_ = std::thread(&ArchiveWatch::watch, this);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  }

  ~ArchiveWatch() {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }

  ArchiveWatch(const ArchiveWatch&) = delete;
  ArchiveWatch& operator=(const ArchiveWatch&) = delete;

  // True once the bound was reached and the statement cancelled.
  bool expired() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return expired_;
  }

  // Why the last reading of pg_stat_archiver failed; empty when it
  // succeeded. A watcher that cannot read cannot tell a stalled archiver
  // from a slow one.
  std::string blind_reason() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return blind_ ? last_.error : std::string();
  }

  // What the archiver's failure looks like, for the Error line of a stop
  // that reached the bound while the watcher could read.
  std::string cause() const {
    std::lock_guard<std::mutex> guard(mutex_);
    std::ostringstream text;
    if (last_.failed_count == first_failures_) {
      text << "pg_stat_archiver reports no failure while the stop waited: the archive command may not return";
    } else {
      text << "pg_stat_archiver: " << (last_.failed_count - first_failures_) << " failures while the stop waited, "
           << last_.failed_count << " in all; the last failed WAL file " << last_.last_failed_wal << " at "
           << last_.last_failed_time;
    }
    return text.str();
  }

 private:
  void watch() {
    using clock = std::chrono::steady_clock;
    std::unique_ptr<pqxx::connection> connection;
    clock::time_point progress = clock::now();
    bool first = true;
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
      lock.unlock();
      ArchiverReading reading = read(connection);
      lock.lock();
      if (reading.read) {
        if (first) {
          first_failures_ = reading.failed_count;
          first = false;
        } else if (reading.archived_count != last_.archived_count) {
          progress = clock::now();
        }
        last_ = reading;
      } else {
        last_.error = reading.error;
      }
      blind_ = !reading.read;
      if (clock::now() - progress >= std::chrono::seconds(bound_)) {
        expired_ = true;
        if (auto statement = statement_connection_.lock()) {
          try {
            statement->cancel_query();
          } catch (const std::exception&) {
            // Nothing left to cancel.
          }
        }
        return;
      }
      changed_.wait_for(lock, std::chrono::seconds(1), [this] { return stopping_; });
    }
  }

  ArchiverReading read(std::unique_ptr<pqxx::connection>& connection) const {
    ArchiverReading reading;
    try {
      // The timeout goes first: the connection string may end in an empty
      // password, which only the end of the string closes.
      if (!connection) connection = std::make_unique<pqxx::connection>("connect_timeout = 10 " + conn_string_);
      pqxx::nontransaction transaction(*connection);
      const pqxx::result result = transaction.exec(
          "SELECT archived_count, failed_count, coalesce(last_failed_wal, ''), coalesce(last_failed_time::text, '') "
          "FROM pg_stat_archiver");
      reading.archived_count = result.at(0).at(0).as<long long>();
      reading.failed_count = result.at(0).at(1).as<long long>();
      reading.last_failed_wal = result.at(0).at(2).c_str();
      reading.last_failed_time = result.at(0).at(3).c_str();
      reading.read = true;
    } catch (const std::exception& e) {
      reading.error = e.what();
      boost::algorithm::trim_right(reading.error);  // libpq ends its texts with a line end
      connection.reset();
    }
    return reading;
  }

  const std::string conn_string_;
  const std::weak_ptr<pqxx::connection> statement_connection_;
  const long bound_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool stopping_ = false;
  bool expired_ = false;
  bool blind_ = false;
  long long first_failures_ = 0;
  ArchiverReading last_;
  std::thread thread_;
};

}  // namespace

bool HxModule_PG_Ostrel::pg_stop_backup(pqxx::result& result) {
  const std::string statement = stop_statement(pg_version_.major);
  const long bound = std::max(kArchiveStallSeconds, pg_conf_.wal_wait_timeout);
  std::unique_ptr<ArchiveWatch> watch;
  try {
    // Backup mode belongs to the session that started it: the statement must
    // run on the same transaction as the start.
    if (!transaction_) throw std::logic_error("no database transaction");
    watch = std::make_unique<ArchiveWatch>(get_conn_string(), connection_, bound);
    result = transaction_->exec(statement, "");
    watch.reset();
    if (!result.empty()) {  // GCOVR_EXCL_BR_LINE: a SELECT of a function in its select list returns one row
      HxLogStream(HxLogLvl::Info) << "Stop PostgreSQL base backup" << std::endl;
      return true;
    }
    HxLogStream(HxLogLvl::Error) << kStopSignature << ": empty result of sql command: " << statement << std::endl;  // GCOVR_EXCL_LINE: a SELECT of a function in its select list returns one row
  } catch (const std::exception& e) {
    const std::string blind = watch ? watch->blind_reason() : std::string();
    if (watch && watch->expired() && !blind.empty()) {
      HxLogStream(HxLogLvl::Error) << kStopSignature << ": the stop of backup mode waited " << bound
                                   << " seconds for the WAL archive and is ended: the module could not watch the "
                                   << "server's WAL archiving meanwhile, its connection for reading pg_stat_archiver "
                                   << "failed (" << blind << "). Allow the module's role one more connection (its "
                                   << "CONNECTION LIMIT, the server's max_connections)" << std::endl;
    } else if (watch && watch->expired()) {
      HxLogStream(HxLogLvl::Error) << kStopSignature << ": the server's WAL archiving does not work: no WAL file was "
                                   << "archived for " << bound
                                   << " seconds while the stop of backup mode waited for the WAL archive ("
                                   << watch->cause() << "). Check the server's archive_command and the WAL archive "
                                   << "directory '" << pg_conf_.archive_catalog << "'" << std::endl;
    } else {
      HxLogStream(HxLogLvl::Error) << kStopSignature << ": " << e.what() << std::endl;
    }
  }
  return false;
}

void HxModule_PG_Ostrel::pg_stop_backup() {
  pqxx::result result;
  pg_stop_backup(result);
}
