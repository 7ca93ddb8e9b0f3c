// The standard streams of a program that answers through standard output.
#include "utils/hx_utils_common.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <mutex>
#include <streambuf>
#include <string>

#include <fcntl.h>
#include <unistd.h>

namespace hx_utils_common {

namespace {

// A stream buffer for std::cout that collects what each thread writes and
// hands it to stdout a whole line at a time (or at a flush), under one lock,
// so that a line of one thread never lands inside a line of another. It
// remembers the first write that failed.
class LineBuffer : public std::streambuf {
 public:
  bool failed(std::string& reason) {
    std::lock_guard<std::mutex> guard(mutex_);
    reason = reason_;
    return failed_;
  }

 protected:
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    const char byte = traits_type::to_char_type(c);
    pending() += byte;
    if (byte == '\n' && !emit_lines()) return traits_type::eof();
    return c;
  }

  std::streamsize xsputn(const char* text, std::streamsize count) override {
    pending().append(text, static_cast<std::size_t>(count));
    if (std::memchr(text, '\n', static_cast<std::size_t>(count)) != nullptr && !emit_lines()) return 0;
    return count;
  }

  int sync() override { return emit(pending().size()) ? 0 : -1; }

 private:
  static std::string& pending() {
    thread_local std::string text;
    return text;
  }

  // Writes the pending text up to its last line end.
  bool emit_lines() { return emit(pending().rfind('\n') + 1); }

  // Writes the first `count` pending bytes; false when the write failed.
  bool emit(std::size_t count) {
    std::string& text = pending();
    if (count == 0) return !failed_now();
    std::lock_guard<std::mutex> guard(mutex_);
    errno = 0;
    const bool written = std::fwrite(text.data(), 1, count, stdout) == count && std::fflush(stdout) == 0;
    text.erase(0, count);
    if (!written && !failed_) {
      failed_ = true;
      reason_ = errno != 0 ? std::strerror(errno) : "write error";
    }
    return written;
  }

  bool failed_now() {
    std::lock_guard<std::mutex> guard(mutex_);
    return failed_;
  }

  std::mutex mutex_;
  bool failed_ = false;
  std::string reason_;
};

LineBuffer* line_buffer = nullptr;

}  // namespace

void prepare_standard_streams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free number is taken, which is `fd` itself.
    const int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened >= 0 && opened != fd) {
      ::dup2(opened, fd);
      ::close(opened);
    }
  }
  if (line_buffer == nullptr) {
    static LineBuffer buffer;
    line_buffer = &buffer;
    std::cout.rdbuf(line_buffer);
  }
}

bool standard_output_written(std::string& reason) {
  std::cout.flush();
  if (line_buffer != nullptr) {
    if (line_buffer->failed(reason)) return false;
  } else {
    errno = 0;
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
      reason = errno != 0 ? std::strerror(errno) : "write error";
      return false;
    }
  }
  if (std::cout.bad()) {
    reason = "write error";
    return false;
  }
  return true;
}

}  // namespace hx_utils_common
