// Levelled log messages with standard-output and size-rotated file destinations.
//
// A message is one HxLogStream: constructed with a level, filled with <<, and
// written as one line to the destinations chosen for its level when it is
// destroyed. Destinations are configured once at start-up through the static
// members of HxLogStream.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <signal.h>

namespace HxLogLvl {

// One bit per level.
enum Level : unsigned {
  Error = 1,
  Warning = 2,
  Info = 4,
  Debug = 8,
  Debug1 = 16,
  Debug2 = 32,
  Debug3 = 64,
  Debug4 = 128,
  FuncBase = 256,
  FuncDetail = 512,
  FuncCycle = 1024,
  FuncAny = 2048,
  Measure = 0x10000,
  SqlReq = 0x20000,
};

// Cumulative masks of levels.
enum MaskLevel : unsigned {
  ErrorMask = 1,
  WarningMask = 3,
  InfoMask = 7,
  DebugMask = 15,
  Debug1Mask = 31,
  Debug2Mask = 63,
  Debug3Mask = 127,
  Debug4Mask = 255,
  FuncAll = 3840,
};

// Value -> name, built before main; for a value named twice the first name wins.
extern const std::map<unsigned, std::string> log_levels_info_;

// The name of a level value, or "Unknown".
std::string to_string(Level level);

}  // namespace HxLogLvl

namespace HxDestination {

// Blocks in the calling thread every signal but those a fault of the program
// raises (held, a fault would end the process without its handler); the mask
// it replaced goes to `previous` when given.
void hold_async_signals(sigset_t* previous);

// A log destination. write_log() prefixes the local-time stamp and hands the
// line to write_log_impl() under this destination's mutex. Asynchronous
// signals are held while a line is written, so a handler that logs writes its
// line just after the current one; a write re-entered on the same thread (a
// fault signal raised inside a write) goes through without waiting for the
// mutex. Logging can therefore never lock the process.
class HxLogger {
 public:
  HxLogger();
  virtual ~HxLogger();
  HxLogger(const HxLogger&) = delete;
  HxLogger& operator=(const HxLogger&) = delete;

  // Builds the line "[%Y-%m-%d %X] " + text and writes it; 0 on success.
  int write_log(const std::string& text);

 protected:
  virtual int write_log_impl(const std::string& line) = 0;

 private:
  std::mutex mutex_;
  bool timestamp_;
  std::atomic<std::thread::id> writer_;
};

// Writes lines to std::cout, each as one line: control characters inside the
// message are escaped (see printable), only its final line end is kept.
class StdoutLogger : public HxLogger {
 protected:
  int write_log_impl(const std::string& line) override;
};

// Appends lines to a file, opened and closed for every line; moves the file
// aside to path + ".Y-M-DHh-m-s" once it has grown past 1,000,000 bytes.
class FileLogger : public HxLogger {
 public:
  explicit FileLogger(std::string path);
  bool is_file_max_size_reached();
  int log_rotate();
  int change_file_access_mod();

 protected:
  int write_log_impl(const std::string& line) override;

 private:
  std::string path_;
};

std::unique_ptr<HxLogger> Stdout();

// The text as it may stand inside one line of standard output, which the
// product's client reads line by line: every control character but the tab
// is written as an escape (a line feed as \n, a carriage return as \r, any
// other as \xHH), so no value can end a line or begin a line of its own.
std::string printable(const std::string& text);
std::unique_ptr<HxLogger> File(const std::string& path);

}  // namespace HxDestination

// One log message. Not copyable.
class HxLogStream {
 public:
  using LoggerPtr = std::unique_ptr<HxDestination::HxLogger>;
  using LoggerList = std::vector<LoggerPtr>;

  template <typename... Destinations>
  explicit HxLogStream(HxLogLvl::Level level, Destinations&&... destinations)
      : text_(std::ios_base::in | std::ios_base::out), level_(level) {
    (local_.push_back(std::move(destinations)), ...);
    write_prefix();
  }
  ~HxLogStream();
  HxLogStream(const HxLogStream&) = delete;
  HxLogStream& operator=(const HxLogStream&) = delete;

  template <typename T>
  HxLogStream& operator<<(const T& value) {
    text_ << value;
    return *this;
  }
  HxLogStream& operator<<(std::ostream& (*manipulator)(std::ostream&));
  HxLogStream& operator<<(std::ios_base& (*manipulator)(std::ios_base&));

  // Replaces the default destinations.
  template <typename... Destinations>
  static void set_default_loggers(Destinations&&... destinations) {
    LoggerList list;
    (list.push_back(std::move(destinations)), ...);
    default_loggers_ = std::move(list);
  }

  // Replaces (or adds) the destinations of a level mask.
  template <typename... Destinations>
  static void set_log_level_logger(unsigned key, Destinations&&... destinations) {
    LoggerList list;
    (list.push_back(std::move(destinations)), ...);
    log_level_mask_default_loggers_[static_cast<HxLogLvl::MaskLevel>(key)] = std::move(list);
  }

  // Whether a message of this level would be written: lets a caller skip
  // formatting a message that would be dropped.
  static bool is_written(HxLogLvl::Level level) { return m_logging_enabled && (global_log_level_ & level) != 0; }

  static unsigned global_log_level_;
  static bool m_logging_enabled;
  static std::string tag_;
  static LoggerList default_loggers_;
  static std::map<HxLogLvl::MaskLevel, LoggerList> log_level_mask_default_loggers_;

 private:
  void write_prefix();
  void flush_to_destinations();

  std::stringstream text_;
  HxLogLvl::Level level_;
  LoggerList local_;
};

#define HX_LOG_ERROR HxLogStream(HxLogLvl::Error)
#define HX_LOG_WARNING HxLogStream(HxLogLvl::Warning)
#define HX_LOG_INFO HxLogStream(HxLogLvl::Info)
#define HX_LOG_DEBUG HxLogStream(HxLogLvl::Debug)
