// Pure helpers of the backup code (see backup_details.h).
#include "postgresql/backup_details.h"
#include "postgresql/hx_postgresql_common.h"

#include "log/hx_logger.h"

#include <boost/filesystem.hpp>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>

namespace hx_pg_backup {

namespace {

// A hexadecimal number of 1 to 8 digits (either case), as the server writes
// each half of a WAL location.
bool parse_hex32(const std::string& text, std::uint64_t& out) {
  if (text.empty() || text.size() > 8) return false;
  out = 0;
  for (const char c : text) {
    int digit = 0;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else {
      return false;
    }
    out = out << 4 | static_cast<std::uint64_t>(digit);
  }
  return true;
}

// A mount point of mountinfo with its octal escapes ("\040" for a blank)
// undone.
std::string unescaped_mount_point(const std::string& field) {
  std::string text;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      const std::string digits = field.substr(i + 1, 3);
      if (digits.find_first_not_of("01234567") == std::string::npos) {
        text += static_cast<char>(std::stoi(digits, nullptr, 8));
        i += 3;
        continue;
      }
    }
    text += field[i];
  }
  return text;
}

}  // namespace

bool parse_row_value(const std::string& text, std::vector<std::string>& fields) {
  fields.clear();
  if (text.size() < 2 || text.front() != '(' || text.back() != ')') return false;
  const std::string body = text.substr(1, text.size() - 2);
  std::string field;
  bool quoted = false;
  for (std::size_t i = 0; i < body.size(); ++i) {
    const char c = body[i];
    if (c == '\\') {
      if (i + 1 >= body.size()) return false;
      field += body[++i];
    } else if (quoted) {
      if (c != '"') {
        field += c;
      } else if (i + 1 < body.size() && body[i + 1] == '"') {
        field += '"';
        ++i;
      } else {
        quoted = false;
      }
    } else if (c == '"') {
      quoted = true;
    } else if (c == ',') {
      fields.push_back(field);
      field.clear();
    } else {
      field += c;
    }
  }
  if (quoted) return false;
  fields.push_back(field);
  return true;
}

bool parse_lsn(const std::string& text, std::uint64_t& out) {
  const std::size_t slash = text.find('/');
  std::uint64_t high = 0;
  std::uint64_t low = 0;
  if (slash == std::string::npos || !parse_hex32(text.substr(0, slash), high) ||
      !parse_hex32(text.substr(slash + 1), low)) {
    return false;
  }
  out = high << 32 | low;
  return true;
}

bool wal_location_line(const std::string& text, const std::string& key, WalLocation& out) {
  // The server writes "<key>%X/%X (file %s)" and a line end.
  std::string found;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.compare(0, key.size(), key) == 0) found = line.substr(key.size());
  }
  const std::size_t blank = found.find(' ');
  const std::string opening = " (file ";
  if (blank == std::string::npos || found.compare(blank, opening.size(), opening) != 0 || found.back() != ')') {
    return false;
  }
  WalLocation location;
  location.lsn_text = found.substr(0, blank);
  location.file = found.substr(blank + opening.size(), found.size() - blank - opening.size() - 1);
  if (!parse_lsn(location.lsn_text, location.lsn) ||
      hx_postgresql_common::wal_file_kind_of(location.file) != hx_postgresql_common::wal_file_kind::segment) {
    return false;
  }
  out = location;
  return true;
}

std::string backup_history_name(const WalLocation& start, std::uint64_t segment_size) {
  char offset[16];
  std::snprintf(offset, sizeof offset, "%08X", static_cast<unsigned>(start.lsn % segment_size));
  return start.file + "." + offset + ".backup";
}

std::string segment_before(const std::string& timeline_of, std::uint64_t lsn, std::uint64_t segment_size) {
  const std::uint64_t segment = (lsn - 1) / segment_size;
  const std::uint64_t per_log_id = (std::uint64_t{1} << 32) / segment_size;
  char name[32];
  std::snprintf(name, sizeof name, "%s%08X%08X", timeline_of.substr(0, 8).c_str(),
                static_cast<unsigned>(segment / per_log_id), static_cast<unsigned>(segment % per_log_id));
  return name;
}

std::string start_backup_statement(unsigned int major, const std::string& literal) {
  if (major >= 9 && major <= 14) return "SELECT pg_start_backup(" + literal + ", false, false)";
  return "SELECT pg_backup_start(" + literal + ", false)";
}

std::string switch_wal_statement(unsigned int major) {
  if (major == 9) return "SELECT pg_xlogfile_name(pg_switch_xlog())";
  return "SELECT pg_walfile_name(pg_switch_wal())";
}

std::string archive_name_of(const std::string& path) { return path.empty() ? path : path.substr(1); }

std::vector<std::string> tablespace_map_locations(const std::string& map_text) {
  std::vector<std::string> locations;
  std::string line;
  bool escaped = false;
  auto finish_line = [&] {
    const std::size_t blank = line.find(' ');
    if (!line.empty()) locations.push_back(blank == std::string::npos ? std::string() : line.substr(blank + 1));
    line.clear();
  };
  for (const char c : map_text) {
    if (escaped) {
      line += c;
      escaped = false;
    } else if (c == '\\') {
      escaped = true;
    } else if (c == '\n') {
      finish_line();
    } else {
      line += c;
    }
  }
  finish_line();
  return locations;
}

std::vector<std::string> mounts_at_or_below(const std::string& mountinfo, const std::string& directory) {
  std::vector<std::string> found;
  std::istringstream lines(mountinfo);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    const std::vector<std::string> fields{std::istream_iterator<std::string>(words),
                                          std::istream_iterator<std::string>()};
    if (fields.size() < 5) continue;
    const std::string point = unescaped_mount_point(fields[4]);
    const bool below = point.size() > directory.size() && point.compare(0, directory.size(), directory) == 0 &&
                       point[directory.size()] == '/';
    if (point == directory || below) found.push_back(point);
  }
  return found;
}

bool remove_task_directory(const std::string& directory, const std::string& signature) {
  namespace fs = boost::filesystem;
  boost::system::error_code ec;
  if (!fs::exists(fs::symlink_status(directory, ec))) return true;
  const fs::path real = fs::canonical(directory, ec);
  if (ec) {
    HxLogStream(HxLogLvl::Error) << signature << ": can't resolve the task directory " << directory << ": "
                                 << ec.message() << std::endl;
    return false;
  }
  std::ifstream in("/proc/self/mountinfo");
  const std::string mountinfo{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  const std::vector<std::string> mounts = mounts_at_or_below(mountinfo, real.string());
  if (!mounts.empty()) {
    HxLogStream(HxLogLvl::Error) << signature << ": the task directory " << directory << " is left in place: "
                                 << mounts.front() << " is still mounted" << std::endl;
    return false;
  }
  fs::remove_all(directory, ec);
  if (ec) {
    HxLogStream(HxLogLvl::Error) << signature << ": can't remove the task directory " << directory << ": "
                                 << ec.message() << std::endl;
    return false;
  }
  return true;
}

}  // namespace hx_pg_backup
