// Helpers of the WAL tests: a log capture and a temporary directory.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <boost/filesystem.hpp>

#include "log/hx_logger.h"

namespace wal_test {

// Routes every log level, Debug included, into a list of lines ("Level: text",
// no time stamp, no line end) for the life of the object, and restores the
// previous destinations and level afterwards.
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

  std::vector<std::string> lines() const {
    std::lock_guard<std::mutex> guard(lines_->mutex);
    return lines_->text;
  }
  // Lines of one level ("Error", "Info", "Debug"), without the level prefix.
  std::vector<std::string> at(const std::string& level) const {
    std::vector<std::string> out;
    const std::string prefix = level + ": ";
    for (const auto& line : lines()) {
      if (line.compare(0, prefix.size(), prefix) == 0) out.push_back(line.substr(prefix.size()));
    }
    return out;
  }
  bool has(const std::string& level, const std::string& text) const {
    const auto found = at(level);
    return std::find(found.begin(), found.end(), text) != found.end();
  }
  void clear() {
    std::lock_guard<std::mutex> guard(lines_->mutex);
    lines_->text.clear();
  }

 private:
  struct Lines {
    std::mutex mutex;
    std::vector<std::string> text;
  };
  class Sink : public HxDestination::HxLogger {
   public:
    explicit Sink(std::shared_ptr<Lines> lines) : lines_(std::move(lines)) {}

   protected:
    int write_log_impl(const std::string& line) override {
      std::string text = line;
      // Drop the "[date time] " stamp and the line end.
      if (!text.empty() && text[0] == '[') {
        const auto close = text.find("] ");
        if (close != std::string::npos) text.erase(0, close + 2);
      }
      while (!text.empty() && (text.back() == '\n')) text.pop_back();
      std::lock_guard<std::mutex> guard(lines_->mutex);
      lines_->text.push_back(text);
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

// A fresh directory below /tmp, removed with everything in it at the end.
class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/hx-wal-test.XXXXXX";
    const char* made = mkdtemp(pattern);
    if (made != nullptr) path_ = made;
  }
  ~TempDir() {
    boost::system::error_code ec;
    if (!path_.empty()) boost::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // Path of name inside the directory.
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  // Creates (or replaces) the file name with the given content; returns its path.
  std::string write(const std::string& name, const std::string& content = std::string()) const {
    const std::string file = *this / name;
    std::ofstream out(file, std::ios_base::binary | std::ios_base::trunc);
    out << content;
    return file;
  }

 private:
  std::string path_;
};

}  // namespace wal_test
