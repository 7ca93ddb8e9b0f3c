// Pure helpers of the backup code: reading the server's text form of a row
// value, the statements that start backup mode and switch WAL files, and the
// archive names of the files a backup hands to the archiver.
#pragma once

#include <string>
#include <vector>

namespace hx_pg_backup {

// Fields of a row value in the server's text form: "(" fields separated by
// "," ")". A field in double quotes may hold commas, parentheses and line
// ends; inside it a doubled double quote stands for one and a backslash
// takes the next character literally (also outside quotes). An empty
// unquoted field (a NULL) gives an empty text. False when the text is not
// in parentheses or a quote is not closed.
bool parse_row_value(const std::string& text, std::vector<std::string>& fields);

// The statement that starts non-exclusive backup mode with `label`, an SQL
// string literal: pg_start_backup for majors 9 to 14, pg_backup_start for
// every other major.
std::string start_backup_statement(unsigned int major, const std::string& label);

// The statement that forces a switch to a new WAL file and names the file
// it closed: the xlog functions for major 9, the wal functions otherwise.
std::string switch_wal_statement(unsigned int major);

// Name of a path inside the archive: the path less its first character (the
// leading "/" of an absolute path).
std::string archive_name_of(const std::string& path);

}  // namespace hx_pg_backup
