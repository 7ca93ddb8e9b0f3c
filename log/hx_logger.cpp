#include "log/hx_logger.h"

#include <boost/filesystem.hpp>

#include <algorithm>
#include <ctime>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <locale>

#include <pthread.h>
#include <signal.h>

#include <unistd.h>

namespace HxLogLvl {
namespace {

std::map<unsigned, std::string> build_level_names() {
  const std::string names =
      "Error, Warning, Info, Debug, Debug1, Debug2, Debug3, Debug4, FuncBase, FuncDetail, "
      "FuncCycle, FuncAny, Measure, SqlReq, ErrorMask, WarningMask, InfoMask, DebugMask, "
      "Debug1Mask, Debug2Mask, Debug3Mask, Debug4Mask, FuncAll";
  const unsigned values[] = {1,   2,   4,    8,       16,      32, 64, 128, 256, 512, 1024, 2048,
                             0x10000, 0x20000, 1, 3, 7, 15, 31, 63, 127, 255, 3840};
  std::map<unsigned, std::string> table;
  std::istringstream words(names);  // one word for each value
  for (const unsigned value : values) {
    std::string word;
    words >> word;
    word.erase(std::remove(word.begin(), word.end(), ','), word.end());
    table.emplace(value, word);  // an existing value keeps its first name
  }
  return table;
}

}  // namespace

const std::map<unsigned, std::string> log_levels_info_ = build_level_names();

std::string to_string(Level level) {
  const auto it = log_levels_info_.find(static_cast<unsigned>(level));
  if (it == log_levels_info_.end()) return "Unknown";
  return it->second;
}

}  // namespace HxLogLvl

namespace HxDestination {

void hold_async_signals(sigset_t* previous) {
  sigset_t held;
  sigfillset(&held);
  for (int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP}) sigdelset(&held, fault);
  pthread_sigmask(SIG_BLOCK, &held, previous);  // cannot fail: a valid action and set
}

namespace {

// Blocks the asynchronous signals of this thread for the object's lifetime.
class AsyncSignalsHeld {
 public:
  AsyncSignalsHeld() { hold_async_signals(&previous_); }
  ~AsyncSignalsHeld() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
  AsyncSignalsHeld(const AsyncSignalsHeld&) = delete;
  AsyncSignalsHeld& operator=(const AsyncSignalsHeld&) = delete;

 private:
  sigset_t previous_;
};

// Marks the destination as being written by this thread until destroyed.
class WriterMark {
 public:
  WriterMark(std::atomic<std::thread::id>& writer, std::thread::id self) : writer_(writer) { writer_.store(self); }
  ~WriterMark() { writer_.store(std::thread::id()); }
  WriterMark(const WriterMark&) = delete;
  WriterMark& operator=(const WriterMark&) = delete;

 private:
  std::atomic<std::thread::id>& writer_;
};

}  // namespace

HxLogger::HxLogger() : timestamp_(true), writer_(std::thread::id()) {}

HxLogger::~HxLogger() = default;

int HxLogger::write_log(const std::string& text) {
  auto build = [this, &text]() {
    std::string line;
    if (timestamp_) {  // GCOVR_EXCL_BR_LINE: the constructor sets the switch and nothing clears it
      std::time_t now = std::time(nullptr);
      std::tm local{};
      localtime_r(&now, &local);
      std::ostringstream stamp;
      stamp.imbue(std::locale::classic());
      stamp << "[" << std::put_time(&local, "%Y-%m-%d %X") << "] ";
      line = stamp.str();
    }
    line += text;
    return line;
  };
  const std::thread::id self = std::this_thread::get_id();
  if (writer_.load() == self) {
    // Re-entered on this thread while it writes (a fault signal raised by the
    // write itself, or a destination that logs from its own write): the mutex
    // is ours already, so write without it instead of waiting for ourselves.
    return write_log_impl(build());
  }
  // Asynchronous signals are held from before the mutex is taken until after
  // it is released, so a handler that logs can never interrupt this thread
  // while it holds the mutex (not even between taking it and marking it
  // ours); a held signal is delivered as soon as the line is written. Fault
  // signals stay deliverable: they are raised by the write itself and are
  // served by the re-entry path above.
  AsyncSignalsHeld held;
  std::lock_guard<std::mutex> guard(mutex_);
  WriterMark mark(writer_, self);
  return write_log_impl(build());
}

std::string printable(const std::string& text) {
  static const char kHex[] = "0123456789abcdef";
  std::string shown;
  shown.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte != 0x7f) {
      shown += c;
    } else if (c == '\t') {
      shown += c;
    } else if (c == '\n') {
      shown += "\\n";
    } else if (c == '\r') {
      shown += "\\r";
    } else {
      shown += "\\x";
      shown += kHex[byte >> 4];
      shown += kHex[byte & 0x0f];
    }
  }
  return shown;
}

int StdoutLogger::write_log_impl(const std::string& line) {
  // The client parses standard output line by line: a value with a line end
  // must not start a line of its own. Flushed at once: the client reads
  // these lines while the task runs.
  // The line ends that close the message stay (a message may end with an
  // empty line); those inside it are escaped.
  const std::size_t end = line.find_last_not_of('\n') + 1;
  std::cout << printable(line.substr(0, end)) + line.substr(end) << std::flush;
  return 0;
}

FileLogger::FileLogger(std::string path) : path_(std::move(path)) {}

bool FileLogger::is_file_max_size_reached() {
  boost::system::error_code ec;
  const auto size = boost::filesystem::file_size(path_, ec);
  if (ec) return true;
  return size > 1000000;
}

int FileLogger::log_rotate() {
  std::time_t now = std::time(nullptr);
  std::tm t{};
  localtime_r(&now, &t);
  const std::string rotated = path_ + "." + std::to_string(t.tm_year + 1900) + "-" +
                              std::to_string(t.tm_mon + 1) + "-" + std::to_string(t.tm_mday) +
                              "H" + std::to_string(t.tm_hour) + "-" + std::to_string(t.tm_min) +
                              "-" + std::to_string(t.tm_sec);
  boost::system::error_code ec;
  boost::filesystem::rename(path_, rotated, ec);
  return ec.value();
}

int FileLogger::change_file_access_mod() { return 0; }

int FileLogger::write_log_impl(const std::string& line) {
  // The error-code form of status() also sets the code for a file that is
  // merely absent, so absence is told by the file type alone.
  boost::system::error_code ec;
  const boost::filesystem::file_type type = boost::filesystem::status(path_, ec).type();
  if (type == boost::filesystem::status_error) return 1;  // status unreadable: a failed write
  const bool exists = type != boost::filesystem::file_not_found;
  bool created = false;
  if (!exists) {
    created = true;
  } else if (is_file_max_size_reached()) {
    const int rotated = log_rotate();
    if (rotated != 0) return rotated;
    created = true;
  }
  std::ofstream out(path_, std::ios_base::binary | std::ios_base::app);
  if (!out.is_open()) return 1;
  out << line;
  out.close();
  return created ? change_file_access_mod() : 0;
}

std::unique_ptr<HxLogger> Stdout() { return std::make_unique<StdoutLogger>(); }

std::unique_ptr<HxLogger> File(const std::string& path) { return std::make_unique<FileLogger>(path); }

}  // namespace HxDestination

unsigned HxLogStream::global_log_level_ = HxLogLvl::InfoMask;
bool HxLogStream::m_logging_enabled = true;
std::string HxLogStream::tag_;
HxLogStream::LoggerList HxLogStream::default_loggers_;
std::map<HxLogLvl::MaskLevel, HxLogStream::LoggerList> HxLogStream::log_level_mask_default_loggers_;

void HxLogStream::write_prefix() {
  if (!tag_.empty()) text_ << tag_ << "[" << getpid() << "] ";
  text_ << HxLogLvl::to_string(level_) << ": ";
}

HxLogStream& HxLogStream::operator<<(std::ostream& (*manipulator)(std::ostream&)) {
  manipulator(text_);
  return *this;
}

HxLogStream& HxLogStream::operator<<(std::ios_base& (*manipulator)(std::ios_base&)) {
  manipulator(text_);
  return *this;
}

void HxLogStream::flush_to_destinations() {
  if (!is_written(level_)) return;

  auto first = log_level_mask_default_loggers_.end();
  for (auto it = log_level_mask_default_loggers_.begin(); it != log_level_mask_default_loggers_.end(); ++it) {
    if ((it->first & level_) != 0) {
      first = it;
      break;
    }
  }
  const bool matched = first != log_level_mask_default_loggers_.end() && !first->second.empty();

  if (local_.empty() && default_loggers_.empty() && !matched) local_.push_back(HxDestination::Stdout());

  const std::string text = text_.str();
  if (!local_.empty()) {
    for (auto& destination : local_) destination->write_log(text);
  } else if (matched) {
    for (auto it = first; it != log_level_mask_default_loggers_.end(); ++it) {
      if ((it->first & level_) == 0 || it->second.empty()) continue;
      for (auto& destination : it->second) destination->write_log(text);
    }
  } else {
    for (auto& destination : default_loggers_) destination->write_log(text);
  }
}

HxLogStream::~HxLogStream() {
  try {
    flush_to_destinations();
  } catch (...) {
    // A log message never ends the program.
  }
}
