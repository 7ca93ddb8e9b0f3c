// The check that a restored WAL archive holds every WAL file recovery needs:
// a restore that missed a part of its chain would otherwise recover silently
// to the end of the gap and report success.
#include "postgresql/hx_postgresql_common.h"

#include "log/hx_logger.h"

#include <boost/filesystem.hpp>

#include <cstdio>
#include <map>
#include <string>

#include <sys/stat.h>

namespace fs = boost::filesystem;

namespace {

const char* const kChainSignature =
    "bool hx_postgresql_common::restored_wal_chain_complete(const string&, const string&, const string&)";

const std::uint64_t kMinSegmentSize = 1024 * 1024;
const std::uint64_t kMaxSegmentSize = 1024 * 1024 * 1024;
const std::uint64_t kLogIdSize = 0x100000000ULL;

// The names recovery asks the restore command for: 24 upper-case digits.
bool is_segment_name(const std::string& name) {
  return hx_postgresql_common::wal_file_kind_of(name) == hx_postgresql_common::wal_file_kind::segment;
}

// The segment number of a WAL file name in a cluster with the given number
// of segments per log id; false when the name has no such segment.
bool segment_number(const std::string& name, std::uint64_t per_log_id, std::uint64_t& number) {
  const hx_postgresql_common::wal_name wal = hx_postgresql_common::wal_name_from_string(name);
  const std::uint64_t segment = (static_cast<std::uint64_t>(wal.seg_high) << 8) | wal.seg_low;
  if (segment >= per_log_id) return false;
  number = static_cast<std::uint64_t>(wal.log_id) * per_log_id + segment;
  return true;
}

std::string segment_name(std::uint32_t timeline, std::uint64_t number, std::uint64_t per_log_id) {
  char text[32];
  std::snprintf(text, sizeof(text), "%08X%08X%08X", timeline, static_cast<unsigned>(number / per_log_id),
                static_cast<unsigned>(number % per_log_id));
  return text;
}

}  // namespace

namespace hx_postgresql_common {

bool restored_wal_chain_complete(const std::string& data_directory, const std::string& archive,
                                 const std::string& last_wal_file) {
  const std::string label = data_directory + "/backup_label";
  boost::system::error_code ec;
  // A cluster copied while it was stopped recovers from its own pg_wal. A
  // label that is a link is no label of a backup: the reader refuses it.
  if (!fs::exists(fs::symlink_status(label, ec))) return true;
  std::string start;
  if (get_start_wal_file(label, start) != 0) return false;
  if (!is_segment_name(start)) {
    HxLogStream(HxLogLvl::Error) << kChainSignature << ": the backup label names no WAL file: " << start << std::endl;
    return false;
  }
  if (!last_wal_file.empty() && !is_segment_name(last_wal_file)) {
    HxLogStream(HxLogLvl::Error) << kChainSignature
                                 << ": the module parameter stop_wal_location is no WAL file name: " << last_wal_file
                                 << std::endl;
    return false;
  }

  // Segment files of the restored archive, by name (every timeline).
  std::map<std::string, std::uint64_t> files;
  if (fs::is_directory(archive, ec)) {
    for (fs::directory_iterator it(archive, ec), end; !ec && it != end; it.increment(ec)) {
      const std::string name = it->path().filename().string();
      struct stat st {};
      if (!is_segment_name(name) || ::lstat(it->path().c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
      files.emplace(name, static_cast<std::uint64_t>(st.st_size));
    }
  }

  // The segment size is that of the restored segment files, the first one
  // of the backup above all.
  const auto first = files.find(start);
  std::uint64_t size = 0;
  if (first != files.end()) {
    size = first->second;
    if (size < kMinSegmentSize || size > kMaxSegmentSize || (size & (size - 1)) != 0) {
      HxLogStream(HxLogLvl::Error) << kChainSignature << ": the restored WAL file " << start << " has " << size
                                   << " bytes, which is no WAL segment size" << std::endl;
      return false;
    }
  }
  const std::uint64_t per_log_id = size == 0 ? kLogIdSize / (16 * 1024 * 1024) : kLogIdSize / size;

  // segment number -> a file holding it (the name on the newest timeline)
  std::map<std::uint64_t, std::map<std::string, std::uint64_t>::const_iterator> present;
  for (auto file = files.cbegin(); file != files.cend(); ++file) {
    std::uint64_t number = 0;
    if (segment_number(file->first, per_log_id, number)) present[number] = file;
  }
  std::uint64_t number = 0;
  if (!segment_number(start, per_log_id, number)) {
    HxLogStream(HxLogLvl::Error) << kChainSignature << ": the backup label names no WAL file: " << start << std::endl;
    return false;
  }
  // The end: the newest restored segment, or the last file of the last part
  // when the client names a later one.
  std::uint64_t end = number;
  std::uint32_t end_timeline = wal_name_from_string(start).timeline;
  if (!present.empty() && present.rbegin()->first > end) {
    end = present.rbegin()->first;
    end_timeline = wal_name_from_string(present.rbegin()->second->first).timeline;
  }
  std::uint64_t last = 0;
  if (!last_wal_file.empty() && segment_number(last_wal_file, per_log_id, last) && last > end) {
    end = last;
    end_timeline = wal_name_from_string(last_wal_file).timeline;
  }

  std::uint32_t timeline = wal_name_from_string(start).timeline;
  for (; number <= end; ++number) {
    const auto found = present.find(number);
    if (found == present.end()) {
      HxLogStream(HxLogLvl::Error) << kChainSignature << ": the restored WAL archive lacks the WAL file "
                                   << segment_name(timeline, number, per_log_id) << ", which recovery from " << start
                                   << " to " << segment_name(end_timeline, end, per_log_id)
                                   << " needs: restore every part of the backup. Nothing was changed" << std::endl;
      return false;
    }
    // Recovery refuses a restored file of another size than the cluster's
    // segments, and it would meet it only after the server was stopped.
    const auto& file = *found->second;
    if (file.second != size) {
      HxLogStream(HxLogLvl::Error) << kChainSignature << ": the restored WAL file " << file.first << " has "
                                   << file.second << " bytes, not the " << size
                                   << " bytes of the cluster's WAL segments: restore the backup again. Nothing "
                                      "was changed"
                                   << std::endl;
      return false;
    }
    timeline = wal_name_from_string(file.first).timeline;
  }
  return true;
}

}  // namespace hx_postgresql_common
