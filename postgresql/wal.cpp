// WAL file names and sequences: the parsed name of a WAL segment file, the
// listing of the WAL archive directory, the run of WAL files between two
// names with its chain check, the readers of the START and STOP lines of a
// backup history file and the wait for a WAL file to be archived completely.
#include "postgresql/hx_postgresql_common.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include <boost/algorithm/string.hpp>
#include <boost/algorithm/string/trim_all.hpp>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "log/hx_logger.h"
#include "utils/descriptors.h"
#include "utils/hx_utils_common.h"

namespace hx_postgresql_common {

namespace {

constexpr const char* kSigList =
    "int hx_postgresql_common::get_wal_files_list(const string&, std::vector<boost::filesystem::path>&)";
constexpr const char* kSigSequence =
    "int hx_postgresql_common::get_wal_files_sequence(const string&, const string&, const string&, "
    "std::vector<std::__cxx11::basic_string<char> >&, bool, bool)";
constexpr const char* kSigLatestBackup =
    "int hx_postgresql_common::get_latest_backup_file(const string&, std::string&)";
constexpr const char* kSigStartWal = "int hx_postgresql_common::get_start_wal_file(const string&, std::string&)";
constexpr const char* kSigStopWal = "int hx_postgresql_common::get_stop_wal_file(const string&, std::string&)";
constexpr const char* kSigWait =
    "int hx_postgresql_common::wait_until_file_archiving_finished(const string&, "
    "std::shared_ptr<pqxx::basic_connection_base<pqxx::connect_direct> >, long int, long int)";
constexpr const char* kSigFromString =
    "hx_postgresql_common::wal_name hx_postgresql_common::wal_name_from_string(const string&)";
constexpr const char* kSigIntegrity =
    "bool hx_postgresql_common::check_sequence_integrity(const std::vector<std::__cxx11::basic_string<char> >&, "
    "const string&, const string&)";
constexpr const char* kSigTimelines =
    "int hx_postgresql_common::compare_timelines_id(const string&, const string&)";

// The file name of a path: what follows its last "/" (the whole text when
// it has none).
std::string_view file_name_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return std::string_view(path).substr(slash == std::string::npos ? 0 : slash + 1);
}

// Parses text whose first 24 characters are all hexadecimal digits, the
// form of every WAL segment file name, without the general parse below (to
// which it gives the same fields) and its cost; false for any other text.
bool parse_plain_wal_name(std::string_view text, wal_name& out) {
  if (text.size() < 24) return false;
  std::uint32_t fields[4] = {0, 0, 0, 0};
  static const std::size_t kEnds[4] = {8, 16, 22, 24};
  std::size_t field = 0;
  for (std::size_t i = 0; i < 24; ++i) {
    const char c = text[i];
    std::uint32_t digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<std::uint32_t>(c - '0');
    } else if (c >= 'A' && c <= 'F') {
      digit = static_cast<std::uint32_t>(c - 'A' + 10);
    } else if (c >= 'a' && c <= 'f') {
      digit = static_cast<std::uint32_t>(c - 'a' + 10);
    } else {
      return false;
    }
    if (i == kEnds[field]) ++field;
    fields[field] = fields[field] << 4 | digit;
  }
  out.timeline = fields[0];
  out.log_id = fields[1];
  out.seg_high = fields[2];
  out.seg_low = static_cast<std::uint16_t>(fields[3]);
  return true;
}

// Parses a WAL file name into out. On failure logs the Error line of
// wal_name_from_string, sets every field to 0 and returns false, so that a
// caller can tell a failed parse from the name of all zeros.
bool parse_wal_name(std::string_view name, wal_name& out) {
  if (parse_plain_wal_name(name, out)) return true;
  const std::string text(name);
  try {
    wal_name parsed;
    parsed.timeline = static_cast<std::uint32_t>(std::stoul(text.substr(0, 8), nullptr, 16));
    parsed.log_id = static_cast<std::uint32_t>(std::stoul(text.substr(8, 8), nullptr, 16));
    parsed.seg_high = static_cast<std::uint32_t>(std::stoul(text.substr(16, 6), nullptr, 16));
    parsed.seg_low = static_cast<std::uint16_t>(std::stoul(text.substr(22, 2), nullptr, 16));
    out = parsed;
    return true;
  } catch (const std::exception& e) {
    HxLogStream(HxLogLvl::Error) << kSigFromString << ": " << e.what() << std::endl;
    out = wal_name();
    return false;
  }
}

// Whole-name order: timeline, then log id, then segment. Unlike the
// field-by-field operator<=, a name in a later log id always comes after
// one in an earlier log id, whatever their segment numbers.
bool not_after(const wal_name& a, const wal_name& b) {
  return std::tie(a.timeline, a.log_id, a.seg_high, a.seg_low) <=
         std::tie(b.timeline, b.log_id, b.seg_high, b.seg_low);
}

// The WAL file name of the last line of `content` (the text of file) that
// contains key (the sixth word of the line, its closing parenthesis
// dropped). Lines are read with tabs turned into blanks and white space
// trimmed as trim_all does.
// With `segment_only`, a name that is no WAL segment file name (which could
// be a path, "../x") is refused with an Error naming it, and `out` is left
// as it was.
int location_in_text(const std::string& content, const std::string& file, std::string& out, const std::string& key,
                     const char* sig, const char* missing_text, int failure, bool segment_only) {
  bool found = false;
  std::string word_found;
  std::string line;
  std::istringstream in(content);
  while (std::getline(in, line)) {
    std::replace(line.begin(), line.end(), '\t', ' ');
    boost::algorithm::trim_all(line);
    if (line.find(key) == std::string::npos) continue;
    std::vector<std::string> words;
    boost::algorithm::split(words, line, [](char c) { return c == ' '; });
    if (words.size() > 5) {
      const std::string& word = words[5];
      word_found = word.empty() ? word : word.substr(0, word.size() - 1);
      found = true;
    }
  }
  if (!found) {
    HxLogStream(HxLogLvl::Error) << missing_text << file << std::endl;
    return failure;
  }
  if (segment_only && wal_file_kind_of(word_found) != wal_file_kind::segment) {
    HxLogStream(HxLogLvl::Error) << sig << ": " << HxDestination::printable(file) << " names "
                                 << HxDestination::printable(word_found) << " as the file of its "
                                 << key.substr(0, key.find(':')) << ", which is no WAL segment file name"
                                 << std::endl;
    return failure;
  }
  out = word_found;
  HxLogStream(HxLogLvl::Debug) << sig << ": " << "wal_file_name:" << out << std::endl;
  return 0;
}

// The same, read from file.
int read_location_line(const std::string& file, std::string& out, const std::string& key, const char* sig,
                       const char* missing_text, int failure, bool segment_only) {
  // The file may lie where the server's account writes (the WAL archive):
  // whatever it planted at the name other than a regular file is not read,
  // nor is a file far larger than a backup history file.
  std::string content;
  std::string why;
  struct stat st {};
  if (!hx_utils_common::read_regular_file_bounded(AT_FDCWD, file, kHistoryFileBound, content, st, why)) {
    if (errno == EINVAL || errno == EFBIG) {
      HxLogStream(HxLogLvl::Error) << sig << ": " << HxDestination::printable(file) << " is " << why << std::endl;
    }
    HxLogStream(HxLogLvl::Error) << "Unable to open backup file: " << file << std::endl;
    return failure;
  }
  return location_in_text(content, file, out, key, sig, missing_text, failure, segment_only);
}

// First entry of list whose file name is name, or list.size(). The entries
// are the directory joined with a name that holds no "/", so the file name
// is what follows the last "/". Only the whole name counts: a backup
// history file or any other name that begins with a segment's name is not
// that segment.
std::size_t find_entry(const std::vector<boost::filesystem::path>& list, const std::string& name) {
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (file_name_of(list[i].native()) == name) return i;
  }
  return list.size();
}

bool all_hex_digits(std::string_view text) {
  for (const char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
  }
  return true;
}

// The text of a segment name: 24 upper-case hexadecimal digits.
std::string segment_text(const wal_name& name) {
  char text[32];
  std::snprintf(text, sizeof text, "%08X%08X%06X%02X", name.timeline, name.log_id, name.seg_high,
                static_cast<unsigned>(name.seg_low));
  return text;
}

// The Error line that names the first WAL file of a run that the archive
// lacks.
void log_missing(const std::string& missing, const std::string& start, const std::string& stop) {
  HxLogStream(HxLogLvl::Error) << kSigSequence << ": the WAL archive lacks the WAL file " << missing
                               << ", which the run from " << start << " to " << stop << " needs" << std::endl;
}

// Logs, at Warning, an entry of the WAL archive that takes no part in a
// backup, with what it is.
// The entries that take no part which a listing names one by one; of any
// more it gives the number only, so that an archive full of other names
// floods neither the log nor the client.
const std::size_t kSkippedNamed = 20;

void warn_skipped(const std::string& path, const std::string& what) {
  HxLogStream(HxLogLvl::Warning) << kSigList << ": " << HxDestination::printable(path) << " is " << what
                                 << "; it is neither archived nor removed" << std::endl;
}

}  // namespace

bool wal_name::operator==(const wal_name& other) const {
  return timeline == other.timeline && log_id == other.log_id && seg_high == other.seg_high &&
         seg_low == other.seg_low;
}

bool wal_name::operator<=(const wal_name& other) const {
  if (timeline > other.timeline) return false;
  if (log_id > other.log_id) return false;
  if (seg_high > other.seg_high) return false;
  if (seg_low > other.seg_low) return false;
  return true;
}

wal_name& wal_name::operator++() {
  if (seg_low <= 254) {
    ++seg_low;
  } else {
    seg_low = 0;
    ++log_id;
  }
  return *this;
}

wal_name& wal_name::next(std::uint64_t segments_per_log_id) {
  const std::uint64_t segment = (static_cast<std::uint64_t>(seg_high) << 8 | seg_low) + 1;
  if (segment >= segments_per_log_id) {
    seg_high = 0;
    seg_low = 0;
    ++log_id;
  } else {
    seg_high = static_cast<std::uint32_t>(segment >> 8);
    seg_low = static_cast<std::uint16_t>(segment & 0xFF);
  }
  return *this;
}

std::uint64_t wal_segment_size_from_text(const std::string& text) {
  static const std::pair<const char*, std::uint64_t> kUnits[] = {
      {"KB", 1024}, {"MB", 1024 * 1024}, {"GB", 1024 * 1024 * 1024}};
  for (const auto& unit : kUnits) {
    if (text.find(unit.first) == std::string::npos) continue;
    std::string number = text;
    boost::algorithm::erase_first(number, unit.first);
    try {
      const long long value = std::stoll(number, nullptr, 10);
      return value > 0 ? static_cast<std::uint64_t>(value) * unit.second : 0;
    } catch (const std::exception&) {
      return 0;
    }
  }
  return 0;
}

bool get_wal_segment_size(connection_ptr connection, std::uint64_t& out) {
  std::string text;
  try {
    pqxx::nontransaction transaction(*connection);
    text = transaction.exec("show wal_segment_size").at(0).at(0).c_str();
  } catch (const std::exception& e) {
    HxLogStream(HxLogLvl::Error) << "Unable to read wal_segment_size: " << e.what() << std::endl;
    return false;
  }
  const std::uint64_t size = wal_segment_size_from_text(text);
  // A size that does not divide a log id evenly is no WAL segment size.
  // GCOVR_EXCL_START: a server shows its WAL segment size, a power of two from 1MB to 1GB, in MB or GB
  if (size == 0 || (std::uint64_t{1} << 32) % size != 0) {
    HxLogStream(HxLogLvl::Error) << "Unknown format of wal_segment_size for WAL files: " << text << std::endl;
    return false;
  }
  // GCOVR_EXCL_STOP
  out = size;
  return true;
}

wal_file_kind wal_file_kind_of(std::string_view name) {
  switch (name.size()) {
    case 24:
      if (all_hex_digits(name)) return wal_file_kind::segment;
      break;
    case 16:
      if (all_hex_digits(name.substr(0, 8)) && name.substr(8) == ".history") return wal_file_kind::timeline_history;
      break;
    case 40:
      if (all_hex_digits(name.substr(0, 24)) && name[24] == '.' && all_hex_digits(name.substr(25, 8)) &&
          name.substr(33) == ".backup") {
        return wal_file_kind::backup_history;
      }
      break;
    default:
      break;
  }
  return wal_file_kind::other;
}

wal_name wal_name_from_string(const std::string& text) {
  wal_name name;
  parse_wal_name(text, name);
  return name;
}

namespace {

// The walk of check_sequence_integrity. When a name of the chain is not
// among the paths, `missing` (when given) receives it.
bool walk_chain(const std::vector<std::string>& paths, const std::string& start, const std::string& stop,
                std::uint64_t segment_size, std::string* missing) {
  try {
    const std::uint64_t per_log_id = (std::uint64_t{1} << 32) / (segment_size == 0 ? 1 : segment_size);
    wal_name current;
    wal_name last;
    // A start or stop that is no WAL file name has logged its parse error;
    // nothing can be checked against it.
    const bool start_parsed = parse_wal_name(start, current);
    const bool stop_parsed = parse_wal_name(stop, last);
    if (!start_parsed || !stop_parsed) return false;
    // The walk keeps the timeline and steps through the segments of each log
    // id, so it reaches the stop name exactly when both share the timeline,
    // both are segment names of this segment size and the stop does not come
    // before the start. Any other pair cannot be walked one segment at a
    // time, and an unwalked chain is not a proven one.
    auto segment_of = [](const wal_name& name) { return static_cast<std::uint64_t>(name.seg_high) << 8 | name.seg_low; };
    if (current.timeline != last.timeline || segment_of(current) >= per_log_id || segment_of(last) >= per_log_id ||
        !not_after(current, last)) {
      HxLogStream(HxLogLvl::Error) << kSigIntegrity << ": The WAL file " << stop << " cannot be reached from "
                                   << start << " one segment at a time" << std::endl;
      return false;
    }
    const bool debug = HxLogStream::is_written(HxLogLvl::Debug);
    std::size_t index = 0;
    // Each pass matches the current name at or after the previous match and
    // consumes the paths up to it; the walk ends on the stop name or when
    // the paths run out.
    while (true) {
      bool matched = false;
      while (index < paths.size()) {
        const std::string& path = paths[index];
        if (debug) HxLogStream(HxLogLvl::Debug) << kSigIntegrity << ": Path to WAL file: " << path << std::endl;
        ++index;
        // Only a file of the segment's own name is that segment.
        const std::string_view name = file_name_of(path);
        wal_name parsed;
        if (wal_file_kind_of(name) == wal_file_kind::segment && parse_plain_wal_name(name, parsed) &&
            parsed == current) {
          matched = true;
          break;
        }
      }
      if (!matched) {
        if (missing != nullptr) *missing = segment_text(current);
        return false;
      }
      if (current == last) return true;
      current.next(per_log_id);
    }
    // GCOVR_EXCL_START: nothing in the try block throws but the allocator; the name parsers catch their own errors
  } catch (const std::exception& e) {
    HxLogStream(HxLogLvl::Error) << kSigIntegrity << ": " << e.what() << std::endl;
    return false;
  }
  // GCOVR_EXCL_STOP
}

}  // namespace

bool check_sequence_integrity(const std::vector<std::string>& paths, const std::string& start,
                              const std::string& stop, std::uint64_t segment_size) {
  return walk_chain(paths, start, stop, segment_size, nullptr);
}

int compare_timelines_id(const std::string& first, const std::string& second) {
  const std::string first_timeline = first.substr(0, 8);
  const std::string second_timeline = second.substr(0, 8);
  if (first_timeline == second_timeline) return 0;
  HxLogStream(HxLogLvl::Info)
      << kSigTimelines
      << ": The timelineID of the START and STOP files do not match. Changing backup type to full." << std::endl;
  HxLogStream(HxLogLvl::Debug) << kSigTimelines << ": TimelineID Start File: " << first_timeline << std::endl;
  HxLogStream(HxLogLvl::Debug) << kSigTimelines << ": TimelineID Stop File: " << second_timeline << std::endl;
  return 3;
}

int get_wal_files_list(const std::string& directory, std::vector<boost::filesystem::path>& out, bool warn, int at) {
  namespace fs = boost::filesystem;
  if (at < 0 && !fs::exists(directory)) {
    HxLogStream(HxLogLvl::Error) << "Archive catalog for WAL files doesn't exist: " << directory << std::endl;
    return 6;
  }
  if (at < 0 && !fs::is_directory(directory)) {
    HxLogStream(HxLogLvl::Error) << "Archive catalog for WAL files is not a directory: " << directory << std::endl;
    return 6;
  }
  // Every entry is the directory joined with a name that holds no "/". The
  // separator that joining adds depends on the directory alone, so the
  // joined prefix is made once; and entries that share it sort as paths
  // exactly as their names sort as byte strings, which is far cheaper than
  // comparing paths element by element. The names are kept back to back in
  // one buffer, which is compact to sort in and costs no allocation each.
  std::string prefix = (fs::path(directory) / "x").string();
  prefix.pop_back();
  const bool debug = HxLogStream::is_written(HxLogLvl::Debug);
  std::size_t skipped = 0;
  std::string names;
  std::vector<std::pair<std::size_t, std::size_t>> spans;  // offset and length in names
  const auto name_of = [&](const std::pair<std::size_t, std::size_t>& span) {
    return std::string_view(names).substr(span.first, span.second);
  };
  std::string joined = prefix;
  const auto join = [&](std::string_view name) -> const std::string& {
    joined.replace(prefix.size(), std::string::npos, name.data(), name.size());
    return joined;
  };

  // The directory is read through one descriptor, and each entry's type is
  // the one that descriptor's directory gives, links not followed.
  hx_utils_common::UniqueFd fd(at < 0 ? ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                                      : ::openat(at, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  DIR* stream = fd ? ::fdopendir(fd.get()) : nullptr;
  if (stream == nullptr) {
    // A directory that cannot be read for lack of permission gives an empty
    // listing: its users report that.
    if (errno != EACCES) {
      HxLogStream(HxLogLvl::Error) << kSigList << ": " << std::strerror(errno) << std::endl;
      return 6;
    }
  } else {
    fd.release();  // the stream owns it now
  }
  const std::unique_ptr<DIR, int (*)(DIR*)> owned(stream, [](DIR* d) { return d == nullptr ? 0 : ::closedir(d); });
  while (stream != nullptr) {
    errno = 0;
    const dirent* entry = ::readdir(stream);
    if (entry == nullptr) {
      if (errno == 0) break;
      // An error while advancing reaches the caller; the entries taken so
      // far stay in out, in the order they were read.
      const boost::system::error_code ec(errno, boost::system::system_category());
      for (const auto& span : spans) out.emplace_back(join(name_of(span)));
      throw fs::filesystem_error("readdir", directory, ec);
    }
    const std::string_view name(entry->d_name);
    if (name == "." || name == "..") continue;
    // Only the server's own WAL files take part in a backup: anything else
    // that the server's account put into the archive is neither archived
    // nor removed, nor read as a WAL file.
    if (wal_file_kind_of(name) == wal_file_kind::other) {
      if (warn && ++skipped <= kSkippedNamed) warn_skipped(join(name), "not named as a WAL file");
      continue;
    }
    if (entry->d_type != DT_REG) {
      struct stat st {};
      if (::fstatat(::dirfd(stream), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;  // gone meanwhile
      if (!S_ISREG(st.st_mode)) {
        if (warn && ++skipped <= kSkippedNamed) warn_skipped(join(name), hx_utils_common::not_a_regular_file(st.st_mode));
        continue;
      }
    }
    spans.emplace_back(names.size(), name.size());
    names.append(name);
    if (debug) HxLogStream(HxLogLvl::Debug) << kSigList << ": " << join(name_of(spans.back())) << std::endl;
  }
  if (warn && skipped > kSkippedNamed) {
    HxLogStream(HxLogLvl::Warning) << kSigList << ": " << HxDestination::printable(directory) << " holds "
                                   << (skipped - kSkippedNamed)
                                   << " further entries that are no WAL files of the server; they are neither "
                                      "archived nor removed"
                                   << std::endl;
  }
  std::vector<std::string_view> sorted;
  sorted.reserve(spans.size());
  for (const auto& span : spans) sorted.push_back(name_of(span));
  std::sort(sorted.begin(), sorted.end());
  const bool had_entries = !out.empty();
  out.reserve(out.size() + sorted.size());
  for (std::string_view name : sorted) out.emplace_back(join(name));
  // Entries the caller passed in may lie anywhere: the whole vector is
  // sorted as paths then.
  if (had_entries) std::sort(out.begin(), out.end());
  return 0;
}

int get_wal_files_sequence(const std::string& directory, const std::string& start, const std::string& stop,
                           std::vector<std::string>& out, bool allow_missing_start, bool skip_integrity,
                           std::uint64_t segment_size) {
  std::vector<boost::filesystem::path> list;
  if (get_wal_files_list(directory, list) != 0) {
    HxLogStream(HxLogLvl::Error) << "Unable to get archived WAL files list" << std::endl;
    return 6;
  }
  return get_wal_files_sequence(std::move(list), start, stop, out, allow_missing_start, skip_integrity,
                                segment_size);
}

int get_wal_files_sequence(std::vector<boost::filesystem::path> list, const std::string& start,
                           const std::string& stop, std::vector<std::string>& out, bool allow_missing_start,
                           bool skip_integrity, std::uint64_t segment_size) {
  if (list.empty()) {
    HxLogStream(HxLogLvl::Error) << "WAL files list is empty" << std::endl;
    return 6;
  }

  std::size_t start_index = find_entry(list, start);
  if (start_index == list.size()) {
    if (!allow_missing_start) {
      HxLogStream(HxLogLvl::Error) << "Unable to find start WAL file in the directory" << std::endl;
      log_missing(start, start, stop);
      return 6;
    }
    // The start file may have been removed from the archive already (it
    // belongs to the previous backup); its name still marks where the run
    // begins.
    HxLogStream(HxLogLvl::Debug) << kSigSequence << ": " << "insert start_file_name: " << start << std::endl;
    // The list is sorted, so the new path goes where sorting would put it.
    boost::filesystem::path inserted(list.front().parent_path().string() + "/" + start);
    const auto place = std::upper_bound(list.begin(), list.end(), inserted);
    list.insert(place, std::move(inserted));
    start_index = find_entry(list, start);
  }

  const std::size_t stop_index = find_entry(list, stop);
  if (stop_index == list.size()) {
    HxLogStream(HxLogLvl::Error) << "Unable to find stop WAL file in the directory" << std::endl;
    return 6;
  }
  if (stop_index < start_index) {
    HxLogStream(HxLogLvl::Error) << kSigSequence << ": The stop WAL file " << stop
                                 << " sorts before the start WAL file " << start << std::endl;
    return 6;
  }

  const bool debug = HxLogStream::is_written(HxLogLvl::Debug);
  out.reserve(out.size() + (stop_index - start_index + 1));
  for (std::size_t i = start_index; i <= stop_index; ++i) {
    if (debug) HxLogStream(HxLogLvl::Debug) << kSigSequence << ": " << list[i].string() << std::endl;
    out.push_back(list[i].string());
  }

  if (skip_integrity) return 0;
  std::string missing;
  if (!walk_chain(out, start, stop, segment_size, &missing)) {
    HxLogStream(HxLogLvl::Error) << kSigSequence << ": The WAL file chain is not correct!" << std::endl;
    if (!missing.empty()) log_missing(missing, start, stop);
    return 6;
  }
  return 0;
}

int get_latest_backup_file(const std::string& directory, std::string& out) {
  std::vector<boost::filesystem::path> list;
  if (get_wal_files_list(directory, list) != 0) {
    HxLogStream(HxLogLvl::Error) << "Unable to get archived WAL files list" << std::endl;
    return 6;
  }
  return get_latest_backup_file(list, out);
}

int get_latest_backup_file(const std::vector<boost::filesystem::path>& list, std::string& out) {
  for (auto it = list.rbegin(); it != list.rend(); ++it) {
    if (wal_file_kind_of(file_name_of(it->native())) != wal_file_kind::backup_history) continue;
    out = it->string();
    HxLogStream(HxLogLvl::Debug) << kSigLatestBackup << ": " << out << std::endl;
    return 0;
  }
  HxLogStream(HxLogLvl::Error) << "Unable to find backup WAL file" << std::endl;
  return 6;
}

int get_start_wal_file(const std::string& file, std::string& out) {
  return read_location_line(file, out, "START WAL LOCATION: ", kSigStartWal,
                            "START WAL LOCATION wasn't found in backup file: ", 6, false);
}

int get_stop_wal_file(const std::string& file, std::string& out) {
  return read_location_line(file, out, "STOP WAL LOCATION: ", kSigStopWal,
                            "STOP WAL LOCATION wasn't found in backup file: ", 1, true);
}

int start_wal_file_in_text(const std::string& text, const std::string& file, std::string& out) {
  return location_in_text(text, file, out, "START WAL LOCATION: ", kSigStartWal,
                          "START WAL LOCATION wasn't found in backup file: ", 6, true);
}

int stop_wal_file_in_text(const std::string& text, const std::string& file, std::string& out) {
  return location_in_text(text, file, out, "STOP WAL LOCATION: ", kSigStopWal,
                          "STOP WAL LOCATION wasn't found in backup file: ", 1, true);
}

int wait_until_file_archiving_finished(const std::string& path, connection_ptr connection, long wait_timeout,
                                       long attempt_timeout, int at) {
  HxLogStream(HxLogLvl::Debug) << kSigWait << " : " << "wal_file_name:" << path << " : "
                               << "wait_timeout:" << wait_timeout << " : "
                               << "attempt_timeout:" << attempt_timeout << std::endl;
  // The period between checks is both a divisor and a sleep: below one
  // second it is unusable, and waiting without pause would hammer the server.
  if (attempt_timeout < 1) {
    HxLogStream(HxLogLvl::Error) << kSigWait << ": the period between checks must be at least 1 second, not "
                                 << attempt_timeout << std::endl;
    return 6;
  }
  // In the directory `at`, only a segment's own name is looked up there: a
  // name with "/" or ".." would lead out of it.
  const std::string name(file_name_of(path));
  if (at >= 0 && wal_file_kind_of(name) != wal_file_kind::segment) {
    HxLogStream(HxLogLvl::Error) << kSigWait << ": " << HxDestination::printable(path)
                                 << " is not named as a WAL segment file" << std::endl;
    return 6;
  }
  const std::int64_t checks = static_cast<std::int64_t>(wait_timeout) / static_cast<std::int64_t>(attempt_timeout);
  std::int64_t attempt = 0;
  while (attempt < checks) {
    // The server's account writes the archive: whatever stands at the name
    // is looked at without following a link and without waiting on it. What
    // is there and no regular file never becomes the WAL file.
    struct stat st {};
    std::string why;
    const hx_utils_common::UniqueFd file =
        at >= 0 ? hx_utils_common::open_regular_file(at, name, st, why)
                : hx_utils_common::open_regular_file(AT_FDCWD, path, st, why);
    if (!file && errno == EINVAL) {
      HxLogStream(HxLogLvl::Error) << kSigWait << ": " << HxDestination::printable(path) << " is " << why << std::endl;
      return 6;
    }
    if (!file && errno != ENOENT && errno != ENOTDIR) {
      // Not knowing whether the file is there is no answer to wait on.
      throw boost::filesystem::filesystem_error("open", path,
                                                boost::system::error_code(errno, boost::system::system_category()));
    }
    if (file) {
      const auto real_size = static_cast<std::int64_t>(st.st_size);
      std::string size_text;
      {
        pqxx::nontransaction transaction(*connection);
        const pqxx::result result = transaction.exec("show wal_segment_size");
        size_text = result.at(0).at(0).c_str();
      }
      // Computed in 64 bits so that no unit value can overflow; clusters
      // made with --wal-segsize of 1024 show their size in GB.
      const std::int64_t expected_size = static_cast<std::int64_t>(wal_segment_size_from_text(size_text));
      // GCOVR_EXCL_START: a server shows its WAL segment size, a power of two from 1MB to 1GB, in MB or GB
      if (expected_size == 0) {
        HxLogStream(HxLogLvl::Error) << "Unknown format of wal_segment_size for WAL files: " << size_text
                                     << std::endl;
        return 6;
      }
      // GCOVR_EXCL_STOP
      HxLogStream(HxLogLvl::Debug) << kSigWait << ": " << " file_expected_size - " << expected_size << std::endl;
      HxLogStream(HxLogLvl::Debug) << kSigWait << ": " << " file_real_size - " << real_size << std::endl;
      if (expected_size == real_size) return 0;
    }
    HxLogStream(HxLogLvl::Info) << "The file \"" << path << "\" is not yet available. Keep waiting..." << std::endl;
    ++attempt;
    // A wait in which an abort may end the task.
    hx_utils_common::sleep_seconds(static_cast<unsigned int>(attempt_timeout));
  }
  return 6;
}

}  // namespace hx_postgresql_common
