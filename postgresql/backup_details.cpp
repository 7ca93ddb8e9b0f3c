// Pure helpers of the backup code (see backup_details.h).
#include "postgresql/backup_details.h"

#include "log/hx_logger.h"

#include <boost/filesystem.hpp>

#include <fstream>
#include <iterator>
#include <sstream>

namespace hx_pg_backup {

namespace {

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
