// Helpers of the PostgreSQL module tests (unit and sandboxed): log and
// standard-output capture, a temporary directory, environment and shell.
#pragma once

#include <sys/wait.h>

#include <algorithm>
#include <boost/filesystem.hpp>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "log/hx_logger.h"

namespace pg_test {

// Routes every level, Debug included, into lines "Level: text" (no time
// stamp, no line end) for the life of the object.
class LogCapture {
 public:
  LogCapture()
      : lines_(std::make_shared<Lines>()),
        saved_level_(HxLogStream::global_log_level_),
        saved_defaults_(std::move(HxLogStream::default_loggers_)),
        saved_masks_(std::move(HxLogStream::log_level_mask_default_loggers_)) {
    HxLogStream::log_level_mask_default_loggers_.clear();
    HxLogStream::default_loggers_.clear();
    HxLogStream::default_loggers_.push_back(std::make_unique<Sink>(lines_));
    HxLogStream::global_log_level_ = HxLogLvl::DebugMask;
  }
  ~LogCapture() {
    HxLogStream::global_log_level_ = saved_level_;
    HxLogStream::default_loggers_ = std::move(saved_defaults_);
    HxLogStream::log_level_mask_default_loggers_ = std::move(saved_masks_);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<std::string> lines() const { return *lines_; }
  std::string text() const {
    std::string out;
    for (const auto& line : *lines_) out += line + "\n";
    return out;
  }
  // Lines of one level ("Error", "Info", "Debug") without the level prefix.
  std::vector<std::string> at(const std::string& level) const {
    std::vector<std::string> out;
    for (const auto& line : *lines_)
      if (line.rfind(level + ": ", 0) == 0) out.push_back(line.substr(level.size() + 2));
    return out;
  }
  bool has(const std::string& level, const std::string& text) const {
    const auto found = at(level);
    return std::find(found.begin(), found.end(), text) != found.end();
  }
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
      while (!text.empty() && text.back() == '\n') text.pop_back();
      lines_->push_back(text);
      return 0;
    }

   private:
    std::shared_ptr<Lines> lines_;
  };

  std::shared_ptr<Lines> lines_;
  unsigned saved_level_;
  HxLogStream::LoggerList saved_defaults_;
  std::map<HxLogLvl::MaskLevel, HxLogStream::LoggerList> saved_masks_;
};

// Everything written to std::cout while the object lives.
class CoutCapture {
 public:
  CoutCapture() : saved_(std::cout.rdbuf(buffer_.rdbuf())) {}
  ~CoutCapture() { std::cout.rdbuf(saved_); }
  std::string text() const { return buffer_.str(); }

 private:
  std::ostringstream buffer_;
  std::streambuf* saved_;
};

// A fresh directory below /tmp, removed with everything in it at the end.
class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/hx-pg-test.XXXXXX";
    if (mkdtemp(pattern) != nullptr) path_ = pattern;
  }
  ~TempDir() {
    boost::system::error_code ec;
    if (!path_.empty()) boost::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  // Creates (or replaces) the file name with the given content; returns its path.
  std::string write(const std::string& name, const std::string& content = std::string()) const {
    std::ofstream(*this / name, std::ios_base::binary | std::ios_base::trunc) << content;
    return *this / name;
  }

 private:
  std::string path_;
};

// A whole file ("" when it cannot be read).
inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios_base::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

inline std::string env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

// Runs a shell command; its exit status, with standard output and error in out.
inline int sh(const std::string& command, std::string* out = nullptr) {
  std::string text;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return -1;
  char buffer[4096];
  while (fgets(buffer, sizeof(buffer), pipe) != nullptr) text += buffer;
  const int status = pclose(pipe);
  if (out != nullptr) *out = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

}  // namespace pg_test
