// Helpers shared by the gtest programs: a clean log configuration, log and
// standard-output capture, temporary directories and files, WAL segment
// names, the environment and the shell.
#pragma once

#include "log/hx_logger.h"
#include "utils/exit_now.h"

#include <linux/capability.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <boost/filesystem.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace hx_test {

// Empties the log configuration (destinations, level masks, tag, levels
// written, logging switched on) for its lifetime and puts the one it found back at the end.
class LogConfigGuard {
 public:
  explicit LogConfigGuard(unsigned levels = HxLogStream::global_log_level_)
      : saved_level_(HxLogStream::global_log_level_),
        saved_enabled_(HxLogStream::m_logging_enabled),
        saved_tag_(HxLogStream::tag_),
        saved_defaults_(std::move(HxLogStream::default_loggers_)),
        saved_masks_(std::move(HxLogStream::log_level_mask_default_loggers_)) {
    HxLogStream::default_loggers_.clear();
    HxLogStream::log_level_mask_default_loggers_.clear();
    HxLogStream::global_log_level_ = levels;
    HxLogStream::m_logging_enabled = true;
  }
  ~LogConfigGuard() {
    HxLogStream::global_log_level_ = saved_level_;
    HxLogStream::m_logging_enabled = saved_enabled_;
    HxLogStream::tag_ = saved_tag_;
    HxLogStream::default_loggers_ = std::move(saved_defaults_);
    HxLogStream::log_level_mask_default_loggers_ = std::move(saved_masks_);
  }
  LogConfigGuard(const LogConfigGuard&) = delete;
  LogConfigGuard& operator=(const LogConfigGuard&) = delete;

 private:
  unsigned saved_level_;
  bool saved_enabled_;
  std::string saved_tag_;
  HxLogStream::LoggerList saved_defaults_;
  std::map<HxLogLvl::MaskLevel, HxLogStream::LoggerList> saved_masks_;
};

// Collects, for its lifetime, every message of the given levels (by default
// those the program writes) in place of all configured destinations: one
// entry "Level: text" per message, without time stamp and its last line end.
class LogCapture {
 public:
  explicit LogCapture(unsigned levels = HxLogLvl::InfoMask) : guard_(levels) {
    HxLogStream::default_loggers_.push_back(std::make_unique<Sink>(lines_));
  }

  std::vector<std::string> messages() const { return *lines_; }
  // All messages, each followed by a line end.
  std::string text() const {
    std::string out;
    for (const auto& line : *lines_) out += line + "\n";
    return out;
  }
  // The messages of one level ("Error", "Info", "Debug") without the level prefix.
  std::vector<std::string> at(const std::string& level) const {
    std::vector<std::string> out;
    for (const auto& line : *lines_)
      if (line.rfind(level + ": ", 0) == 0) out.push_back(line.substr(level.size() + 2));
    return out;
  }
  // True when the message "Level: text" was logged.
  bool has(const std::string& message) const {
    return std::find(lines_->begin(), lines_->end(), message) != lines_->end();
  }
  bool has(const std::string& level, const std::string& text) const { return has(level + ": " + text); }
  void clear() { lines_->clear(); }

 private:
  using Lines = std::vector<std::string>;
  class Sink : public HxDestination::HxLogger {
   public:
    explicit Sink(std::shared_ptr<Lines> lines) : lines_(std::move(lines)) {}

   protected:
    int write_log_impl(const std::string& line) override {
      std::string text = line;
      const auto close = text.find("] ");
      if (!text.empty() && text[0] == '[' && close != std::string::npos) text.erase(0, close + 2);
      if (!text.empty() && text.back() == '\n') text.pop_back();
      lines_->push_back(text);
      return 0;
    }

   private:
    std::shared_ptr<Lines> lines_;
  };

  std::shared_ptr<Lines> lines_ = std::make_shared<Lines>();
  LogConfigGuard guard_;
};

// "[YYYY-MM-DD HH:MM:SS] " at the start of every written log line.
inline const std::regex& stamp_regex() {
  static const std::regex re(R"(\[[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\] )");
  return re;
}

// The lines of a text, each with its time stamp removed ("<no timestamp>" in
// front of a line that carries none).
inline std::vector<std::string> unstamped_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    std::smatch m;
    const bool stamped = std::regex_search(line, m, stamp_regex(), std::regex_constants::match_continuous);
    lines.push_back(stamped ? line.substr(m.length(0)) : "<no timestamp>" + line);
  }
  return lines;
}

// Everything written to a standard stream (std::cout unless given) while
// the object lives.
class CoutCapture {
 public:
  explicit CoutCapture(std::ostream& stream = std::cout) : stream_(stream), saved_(stream.rdbuf(buffer_.rdbuf())) {}
  ~CoutCapture() { stream_.rdbuf(saved_); }
  std::string text() const { return buffer_.str(); }

 private:
  std::ostringstream buffer_;
  std::ostream& stream_;
  std::streambuf* saved_;
};

// Takes one capability (CAP_CHOWN, ...) out of the calling thread's effective
// set while the object lives, so that root meets the refusals of a confined
// process; the permitted set keeps it, and the destructor gives it back.
class WithoutCapability {
 public:
  explicit WithoutCapability(int capability) : capability_(capability) { set(false); }
  ~WithoutCapability() { set(true); }
  WithoutCapability(const WithoutCapability&) = delete;
  WithoutCapability& operator=(const WithoutCapability&) = delete;

 private:
  void set(bool on) const {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (::syscall(SYS_capget, &header, data) != 0) std::perror("capget");
    const unsigned bit = 1u << (capability_ % 32);
    auto& effective = data[capability_ / 32].effective;
    effective = on ? (effective | bit) : (effective & ~bit);
    if (::syscall(SYS_capset, &header, data) != 0) std::perror("capset");
  }
  int capability_;
};

// A whole file ("" when it cannot be read).
inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios_base::binary);
  std::string text;
  try {
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  } catch (const std::exception&) {
    // A read that fails half way (a /proc file of a process that ended
    // meanwhile) gives what was read.
  }
  return text;
}

// A fresh private directory below the system's temporary directory, removed
// with everything in it at the end.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (boost::filesystem::temp_directory_path() / "hx-test.XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~TempDir() {
    boost::system::error_code ec;
    if (!path_.empty()) boost::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& str() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  // Creates (or replaces) the file `name` with the given content; its path.
  std::string write(const std::string& name, const std::string& content = std::string()) const {
    std::ofstream(*this / name, std::ios_base::binary | std::ios_base::trunc) << content;
    return *this / name;
  }
  // A symbolic link `name` to itself, whose status cannot be read; its path.
  std::string self_link(const std::string& name) const {
    return ::symlink((*this / name).c_str(), (*this / name).c_str()) == 0 ? *this / name : std::string();
  }
  // A sparse file of the given size (it takes no space itself); its path.
  std::string sparse(const std::string& name, unsigned long long size) const {
    const int fd = ::open((*this / name).c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
    if (fd >= 0) {
      if (::ftruncate(fd, static_cast<off_t>(size)) != 0) std::perror("ftruncate");
      ::close(fd);
    }
    return *this / name;
  }

 private:
  std::string path_;
};

// The name of WAL segment file `segment` of log `log_id` on a timeline.
inline std::string wal_segment(unsigned log_id, unsigned segment, unsigned timeline = 1) {
  char text[25];
  std::snprintf(text, sizeof text, "%08X%08X%08X", timeline, log_id, segment);
  return text;
}

inline std::string env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

// Runs a shell command; its exit status (128 when it did not exit), with
// standard output and error in out.
inline int sh(const std::string& command, std::string* out = nullptr) {
  std::string text;
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return -1;
  char buffer[4096];
  while (std::fgets(buffer, sizeof(buffer), pipe) != nullptr) text += buffer;
  const int status = ::pclose(pipe);
  if (out != nullptr) *out = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

}  // namespace hx_test
