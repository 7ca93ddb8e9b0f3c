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
    // std::ostream hands only characters to overflow, never end of file.
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);  // GCOVR_EXCL_BR_LINE
    const char byte = traits_type::to_char_type(c);
    return put(&byte, 1) ? c : traits_type::eof();
  }

  std::streamsize xsputn(const char* text, std::streamsize count) override {
    return put(text, static_cast<std::size_t>(count)) ? count : 0;
  }

  int sync() override {
    std::string* text = pending();
    if (text != nullptr && !write(*text, text->size())) return -1;
    std::lock_guard<std::mutex> guard(mutex_);
    return failed_ ? -1 : 0;
  }

 private:
  // What this thread has written since its last line end; null once the
  // thread's storage is gone (at the end of the thread or the program),
  // when text is written at once.
  struct Pending {
    std::string text;
    ~Pending();
  };
  static thread_local bool pending_gone_;

  static std::string* pending() {
    if (pending_gone_) return nullptr;
    thread_local Pending pending;
    return &pending.text;
  }

  bool put(const char* data, std::size_t count) {
    std::string* text = pending();
    if (text == nullptr) {
      std::string now(data, count);
      return write(now, count);
    }
    text->append(data, count);
    if (std::memchr(data, '\n', count) == nullptr) return true;
    return write(*text, text->rfind('\n') + 1);
  }

  // Writes the first `count` bytes of `text` and drops them; false when the
  // write failed.
  bool write(std::string& text, std::size_t count) {
    if (count == 0) return true;
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

  std::mutex mutex_;
  bool failed_ = false;
  std::string reason_;

};

// Never destroyed: std::cout may be flushed until the very end of the program.
LineBuffer* line_buffer = nullptr;

thread_local bool LineBuffer::pending_gone_ = false;

LineBuffer::Pending::~Pending() {
  pending_gone_ = true;
  line_buffer->write(text, text.size());  // only LineBuffer, which exists then, makes a Pending
}

}  // namespace

void prepare_standard_streams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1) continue;  // it fails only for a closed descriptor
    // The lowest free number is taken, which is `fd` itself: the lower ones
    // are open, and this runs at start-up, before any other thread.
    ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
  }
  if (line_buffer == nullptr) {
    line_buffer = new LineBuffer;
    std::cout.rdbuf(line_buffer);
  }
}

bool standard_output_written(std::string& reason) {
  errno = 0;  // a failure of this flush keeps its reason
  std::cout.flush();
  if (line_buffer != nullptr) {
    if (line_buffer->failed(reason)) return false;
  } else {
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
