// Quoting of values that go into shell commands and libpq connection strings.
// SQL values are never quoted here: they go through the connection's own
// escaping or a statement parameter.
#include "utils/hx_utils_common.h"

#include <cctype>

namespace hx_utils_common {

namespace {

bool is_ordinary(const std::string& value) {
  if (value.empty()) return false;
  for (unsigned char c : value) {
    if (std::isalnum(c) != 0) continue;
    switch (c) {
      case '_': case '.': case '/': case ':': case ',': case '+':
      case '=': case '@': case '%': case '-':
        continue;
      default:
        return false;
    }
  }
  return true;
}

}  // namespace

std::string shell_single_quoted(const std::string& value) {
  std::string quoted = "'";
  for (char c : value) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  quoted += "'";
  return quoted;
}

std::string shell_arg(const std::string& value) {
  return is_ordinary(value) ? value : shell_single_quoted(value);
}

std::string shell_double_quoted(const std::string& value) {
  std::string quoted = "\"";
  for (char c : value) {
    if (c == '"' || c == '\\' || c == '$' || c == '`') quoted += '\\';
    quoted += c;
  }
  quoted += "\"";
  return quoted;
}

std::string conninfo_escaped(const std::string& value) {
  std::string escaped;
  for (char c : value) {
    if (c == '\'' || c == '\\') escaped += '\\';
    escaped += c;
  }
  return escaped;
}

std::string conninfo_value(const std::string& value, bool last) {
  // An unquoted value ends at white space and takes a backslash as an escape;
  // an empty one would swallow the next keyword.
  bool needs_quotes = value.empty() && !last;
  for (unsigned char c : value) {
    if (std::isspace(c) != 0 || c == '\'' || c == '\\') needs_quotes = true;
  }
  if (!needs_quotes) return value;
  return "'" + conninfo_escaped(value) + "'";
}

}  // namespace hx_utils_common
