// Pure helpers of the backup code: reading the server's text form of a row
// value and of a tablespace map, the statements that start backup mode and
// switch WAL files, the archive names of the files a backup hands to the
// archiver, and the mounts that keep a task directory from being removed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace hx_pg_backup {

// A WAL location as the server writes it, "X/Y" (two hexadecimal numbers of
// at most 8 digits: the high and low 32 bits), as a number. False when the
// text is not one.
bool parse_lsn(const std::string& text, std::uint64_t& out);

// A "START WAL LOCATION" or "STOP WAL LOCATION" line of a backup label or
// backup history file, in the server's form "<key> X/Y (file NAME)".
struct WalLocation {
  std::string lsn_text;  // "X/Y"
  std::uint64_t lsn = 0;
  std::string file;      // NAME, a WAL segment file name
};

// The last line of `text` that begins with `key` ("START WAL LOCATION: "),
// read into `out`. False when there is none, or it is not of the server's
// form, or its file is no WAL segment file name.
bool wal_location_line(const std::string& text, const std::string& key, WalLocation& out);

// The name of the backup history file the server writes for a backup that
// began at `start` (its label's START WAL LOCATION): the start's segment
// file, ".", the start's offset in its segment (8 upper-case hexadecimal
// digits), ".backup".
std::string backup_history_name(const WalLocation& start, std::uint64_t segment_size);

// The WAL segment file, on the timeline of the segment file name
// `timeline_of`, that holds the WAL just before `lsn`: the last segment of a
// backup whose stop location is `lsn`, named as the server names it in the
// backup history file (a stop location at a segment's very beginning ends the
// segment before it). `lsn` must be above 0.
std::string segment_before(const std::string& timeline_of, std::uint64_t lsn, std::uint64_t segment_size);

// Fields of a row value in the server's text form: "(" fields separated by
// "," ")". A field in double quotes may hold commas, parentheses and line
// ends; inside it a doubled double quote stands for one and a backslash
// takes the next character literally (also outside quotes). An empty
// unquoted field (a NULL) gives an empty text. False when the text is not
// in parentheses or a quote is not closed.
bool parse_row_value(const std::string& text, std::vector<std::string>& fields);

// The statement that starts non-exclusive backup mode with the label
// `literal`, an SQL string literal that the connection quoted:
// pg_start_backup for majors 9 to 14, pg_backup_start for every other major.
std::string start_backup_statement(unsigned int major, const std::string& literal);

// The statement that forces a switch to a new WAL file and names the file
// it closed: the xlog functions for major 9, the wal functions otherwise.
std::string switch_wal_statement(unsigned int major);

// Name of a path inside the archive: the path less its first character (the
// leading "/" of an absolute path).
std::string archive_name_of(const std::string& path);

// The tablespace locations of a tablespace map as the server writes it: one
// line per tablespace, its OID, a blank and its location, in which a
// backslash escapes the next character (a line end, a carriage return or a
// backslash of the location). In the order of the lines; empty lines are
// skipped.
std::vector<std::string> tablespace_map_locations(const std::string& map_text);

// The mount points of a /proc/self/mountinfo text that are `directory` or
// lie below it (octal escapes of the mount points undone). `directory` is a
// real path without a trailing "/".
std::vector<std::string> mounts_at_or_below(const std::string& mountinfo, const std::string& directory);

// Removes a task directory with everything in it, unless anything is still
// mounted at or below it (the removal would then reach into a mounted
// snapshot or the live file system): that is reported at Error, prefixed
// with `signature`, and the directory stays. A directory that does not
// exist is no error. False when the directory stays or could not be removed
// completely (also reported).
bool remove_task_directory(const std::string& directory, const std::string& signature);

}  // namespace hx_pg_backup
