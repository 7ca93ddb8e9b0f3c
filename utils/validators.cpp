// Checks of the form of texts, Base64 and hexadecimal encoders, quoting, and
// facts about files and the host.
#include "utils/hx_utils_common.h"

#include "log/hx_logger.h"

#include <boost/archive/iterators/base64_from_binary.hpp>
#include <boost/archive/iterators/binary_from_base64.hpp>
#include <boost/archive/iterators/transform_width.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/uuid/string_generator.hpp>
#include <boost/uuid/uuid.hpp>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iomanip>
#include <iostream>
#include <regex>
#include <sstream>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

namespace hx_utils_common {

namespace {

// What `compute` returns, or `fallback` when it throws: the checks and
// decoders report a text they refuse by their result, never by an exception.
template <typename T, typename Compute>
T or_fallback(T fallback, Compute compute) {
  try {
    return compute();
  } catch (...) {
    return fallback;
  }
}

bool matches(const std::string& s, const char* pattern) {
  return or_fallback(false, [&] { return std::regex_match(s, std::regex(pattern, std::regex::ECMAScript)); });
}

}  // namespace

// ---- Text checks -----------------------------------------------------------

bool is_uint(const std::string& s) {
  if (s.empty()) return false;
  return or_fallback(false, [&] { return std::to_string(std::stoul(s, nullptr, 10)) == s; });
}

bool string_to_uint(const std::string& s, unsigned int& value) {
  if (!is_uint(s)) return false;
  value = static_cast<unsigned int>(std::stoul(s, nullptr, 10));  // valid: cannot throw
  return true;
}

bool is_time(const std::string& s) {
  return or_fallback(false, [&] {
    std::tm tm = {};
    std::istringstream in(s);
    in >> std::get_time(&tm, "%H:%M:%S");
    return !in.fail();
  });
}

bool is_hostname(const std::string& s) {
  return matches(s,
                 R"(^([a-zA-Z0-9]|[a-zA-Z0-9][a-zA-Z0-9\-]{0,61}[a-zA-Z0-9])(\.([a-zA-Z0-9]|[a-zA-Z0-9][a-zA-Z0-9\-]{0,61}[a-zA-Z0-9]))*$)");
}

bool is_email(const std::string& s) {
  return matches(s, R"(^[A-Za-z0-9._%+-]+@[A-Za-z0-9.-]+\.[A-Za-z]{2,6}$)");
}

bool is_https_url_strict(const std::string& s) {
  return matches(s, R"((https://)?[a-zA-Z0-9@:%._\-\+~#?&//=]{2,256}\.[a-z]{2,6}\b([-a-zA-Z0-9@%._\-\//=]*))");
}

bool is_https_ip_strict(const std::string& s) {
  return matches(s,
                 R"(https://(([0-9]|[1-9][0-9]|1[0-9][0-9]|2[0-4][0-9]|25[0-5])\.){3}([0-9]|[1-9][0-9]|1[0-9][0-9]|2[0-4][0-9]|25[0-5]))") ||
         matches(s, R"(https://((([0-9a-fA-F]){1,4})\:){7}([0-9a-fA-F]){1,4})");
}

bool is_ip_address(const std::string& s) {
  return or_fallback(false, [&] {
    boost::system::error_code error;
    boost::asio::ip::make_address(s, error);
    return !error;
  });
}

bool is_valid_uuid(const std::string& s) {
  // version() gives one of the known versions 1 to 5, or version_unknown.
  return or_fallback(false, [&] {
    return boost::uuids::string_generator()(s).version() != boost::uuids::uuid::version_unknown;
  });
}

bool check_password_complexity(const std::string& password, std::string& message, bool message_only) {
  const std::string text = "Password minimum length must be no shorter than " + std::string("12") +
                           " symbols and must contain at least " + "1" + " upper case letter, " + "1" +
                           " special character, " + "1" + " digit";
  if (message_only) {
    message = text;
    return false;
  }
  bool upper = false, punct = false, digit = false;
  for (unsigned char c : password) {
    upper = upper || std::isupper(c) != 0;
    punct = punct || std::ispunct(c) != 0;
    digit = digit || std::isdigit(c) != 0;
  }
  if (password.size() >= 12 && upper && punct && digit) return true;
  message = text;
  return false;
}

// ---- Encoders ------------------------------------------------------------------

std::string base64_encode(const std::string& data) {
  using namespace boost::archive::iterators;
  using encoder = base64_from_binary<transform_width<std::string::const_iterator, 6, 8>>;
  return or_fallback(std::string(), [&] {
    std::string text(encoder(data.begin()), encoder(data.end()));
    text.append((3 - data.size() % 3) % 3, '=');
    return text;
  });
}

std::string base64_decode(const std::string& text) {
  using namespace boost::archive::iterators;
  using decoder = transform_width<binary_from_base64<std::string::const_iterator>, 8, 6>;
  return or_fallback(std::string(), [&] { return std::string(decoder(text.begin()), decoder(text.end())); });
}

std::string quote_string(const std::string& s) { return "'" + s + "'"; }

std::string digest_as_string(const unsigned char* bytes, unsigned int count) {
  std::ostringstream text;
  text << std::hex << std::setfill('0');
  for (unsigned int i = 0; i < count; ++i) text << std::setw(2) << static_cast<unsigned int>(bytes[i]);
  return text.str();
}

void print_digest(unsigned char* bytes, unsigned int bits) {
  std::ostringstream text;
  text << std::hex << std::setfill('0');
  for (unsigned int i = 0; i < bits / 8; ++i) text << std::setw(2) << static_cast<unsigned int>(bytes[i]) << ' ';
  std::cout << text.str() << std::endl;
}

// ---- Host and file facts -----------------------------------------------------------

std::string get_nodename() {
  struct utsname names;
  if (::uname(&names) != 0) return std::string();
  return names.nodename;
}

bool get_hw_platform(std::string& output) {
  const std::string command = "dmidecode -t system|grep 'Manufacturer\\|Product'";
  if (execute_command(command, output) == 0) return true;
  HxLogStream(HxLogLvl::Error) << "bool hx_utils_common::get_hw_platform(std::string&)"
                               << ": the following command produced an error: " << command << "\n";
  HxLogStream(HxLogLvl::Error) << "command output: " << output << std::endl;
  return false;
}

bool is_sparse_file(const std::string& path, bool& sparse, std::string& error) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    error = std::strerror(errno);
    return false;
  }
  sparse = static_cast<long long>(st.st_blocks) * 512 < static_cast<long long>(st.st_size);
  return true;
}

std::uint64_t get_file_size(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    std::perror(("get_file_size: open input_file: " + path + ": ").c_str());
    return 0;
  }
  std::uint64_t size = 0;
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) {
    if (S_ISBLK(st.st_mode)) {
      unsigned long sectors = 0;
      if (::ioctl(fd, BLKGETSIZE, &sectors) == 0) size = static_cast<std::uint64_t>(sectors) * 512;
    } else if (S_ISREG(st.st_mode)) {
      size = static_cast<std::uint64_t>(st.st_size);
    } else {
      std::cerr << "get_file_size: wrong input file type" << path << std::endl;
    }
  }
  ::close(fd);
  return size;
}

std::uint64_t get_symlink_size(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) return static_cast<std::uint64_t>(st.st_size);
  std::cerr << "get_symlink_size: wrong input file type" << path << " is not a link!" << std::endl;
  return 0;
}

}  // namespace hx_utils_common
