// Pure helpers of the backup code (see backup_details.h).
#include "postgresql/backup_details.h"

#include "utils/hx_utils_common.h"

namespace hx_pg_backup {

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

std::string start_backup_statement(unsigned int major, const std::string& label) {
  const std::string literal = hx_utils_common::sql_literal(label);
  if (major >= 9 && major <= 14) return "SELECT pg_start_backup(" + literal + ", false, false)";
  return "SELECT pg_backup_start(" + literal + ", false)";
}

std::string switch_wal_statement(unsigned int major) {
  if (major == 9) return "SELECT pg_xlogfile_name(pg_switch_xlog())";
  return "SELECT pg_walfile_name(pg_switch_wal())";
}

std::string archive_name_of(const std::string& path) { return path.empty() ? path : path.substr(1); }

}  // namespace hx_pg_backup
