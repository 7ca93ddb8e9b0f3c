// Environment variables, terminal input, the login name and free-space checks.
#include "utils/hx_utils_common.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <stdexcept>

#include <fcntl.h>
#include <pwd.h>
#include <sys/statfs.h>
#include <unistd.h>

// ---- Environment variables ---------------------------------------------------------

namespace hx_details_linux {

void set_env_var(const std::string& name, const std::string& value, int overwrite) {
  if (::setenv(name.c_str(), value.c_str(), overwrite) != 0) {
    throw std::runtime_error("environment variable \"" + name + "\" set failure");
  }
}

void unset_env_var(const std::string& name) {
  if (::unsetenv(name.c_str()) != 0) {
    throw std::runtime_error("environment variable \"" + name + "\" unset failure");
  }
}

std::string get_env_var(const std::string& name) {
  const char* value = ::getenv(name.c_str());
  if (value == nullptr) return std::string();
  return value;
}

}  // namespace hx_details_linux

EnvironmentVariable::EnvironmentVariable(const std::string& name, const std::string& value) : name_(name) {
  setValue(value);
}

EnvironmentVariable::EnvironmentVariable(const std::string& name) : EnvironmentVariable(name, std::string()) {}

// A failure to remove the variable escapes the destructor and so ends the
// program (destructors are noexcept).
EnvironmentVariable::~EnvironmentVariable() { unset(); }

std::string EnvironmentVariable::getValue(const std::string& name) { return hx_details_linux::get_env_var(name); }

void EnvironmentVariable::setValue(const std::string& name, const std::string& value) {
  hx_details_linux::set_env_var(name, value, 1);
}

void EnvironmentVariable::unset(const std::string& name) { hx_details_linux::unset_env_var(name); }

std::string EnvironmentVariable::getName() const { return name_; }

std::string EnvironmentVariable::getValue() const { return getValue(name_); }

void EnvironmentVariable::setValue(const std::string& value) { setValue(name_, value); }

void EnvironmentVariable::unset() { unset(name_); }

namespace hx_utils_common {

// ---- Terminal input -------------------------------------------------------------------

void echo_off(int fd, termios* saved) {
  // Without a terminal there are no settings to change (and none to keep).
  if (::tcgetattr(fd, saved) != 0) return;
  termios quiet = *saved;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  ::tcsetattr(fd, TCSANOW, &quiet);
}

void echo_on(int fd, termios* saved) { ::tcsetattr(fd, TCSANOW, saved); }

void get_client_secret_input(std::string& input) {
  termios saved = {};
  const bool terminal = ::tcgetattr(STDIN_FILENO, &saved) == 0;
  echo_off(STDIN_FILENO, &saved);
  std::getline(std::cin, input);
  std::cout << std::endl;  // the Enter that ended the input was not echoed
  if (terminal) echo_on(STDIN_FILENO, &saved);
}

int getkey() {
  termios saved = {};
  const bool terminal = ::tcgetattr(STDIN_FILENO, &saved) == 0;
  if (terminal) {
    termios raw = saved;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    ::tcsetattr(STDIN_FILENO, TCSANOW, &raw);
  }
  const int key = std::fgetc(stdin);
  if (terminal) ::tcsetattr(STDIN_FILENO, TCSANOW, &saved);
  return key;
}

std::string get_loginname() {
  const char* login = ::getlogin();
  if (login != nullptr && *login != '\0') return login;
  const passwd* account = ::getpwuid(::geteuid());
  if (account != nullptr && account->pw_name != nullptr) return account->pw_name;
  return std::string();
}

// ---- Free space ---------------------------------------------------------------------------

namespace {

// Bytes available to unprivileged users on the file system of dir; false
// (with a perror text) when statfs fails.
bool free_space(const std::string& dir, unsigned long long& bytes) {
  struct statfs fs;
  if (::statfs(dir.c_str(), &fs) != 0) {
    std::perror(("Can't call statfs for: " + dir).c_str());
    return false;
  }
  bytes = static_cast<unsigned long long>(fs.f_bavail) * static_cast<unsigned long long>(fs.f_bsize);
  return true;
}

// The result of check(), or false, with the reason on standard error, when it throws.
template <typename Check>
bool guarded(Check check) {
  try {
    return check();
  } catch (const std::exception& e) {  // GCOVR_EXCL_START: only a failed allocation throws in the checks
    std::cerr << "hx_utils_common::check_free_space: " << e.what() << std::endl;
    return false;
  }  // GCOVR_EXCL_STOP
}

}  // namespace

bool check_free_space(const std::string& dir, const unsigned long long& bytes) {
  return guarded([&] {
    unsigned long long available = 0;
    if (!free_space(dir, available)) return false;
    return available >= bytes;
  });
}

bool check_free_space(const std::string& dir, const std::string& file) {
  return guarded([&] {
    unsigned long long available = 0;
    if (!free_space(dir, available)) return false;
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      std::perror(("Can't open: " + file).c_str());
      return false;
    }
    const off_t size = ::lseek(fd, 0, SEEK_END);
    if (size < 0) {
      std::perror(("Can't lseek: " + file).c_str());
      ::close(fd);
      return false;
    }
    ::close(fd);
    return available >= static_cast<unsigned long long>(size);
  });
}

}  // namespace hx_utils_common
