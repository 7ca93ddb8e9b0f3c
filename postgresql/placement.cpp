// Setting a destination's own entries aside, filling it with restored ones,
// and undoing or finishing that, also after the process was killed half way.
//
// Inside a destination D the set-aside directory T (made by root, 0700) holds:
//   old/       the destination's own entries, set aside
//   incoming/  copies of restored entries on their way in
//   back/      restored entries on their way out during a roll-back, where
//              they are checked and removed
//   hold/      each entry that is being removed, under a fresh name, while
//              its owner is looked at (see clear_owned)
//   added/     entries found at the name of one of the destination's own
//              entries when that returns during a roll-back
// Its identity, and the names and identities of the restored entries that go
// into D, are in the records (see placement.h), written before each step.
// Every step is a copy into incoming/, a rename, or the making or removal of
// a directory, so a kill at any moment leaves each entry whole in a place the
// records describe.
//
// The server's account can put anything below its own directories at any
// moment, also by renaming a directory of its own that holds entries of root
// or of a third account into a destination, or into the set-aside tree
// through a working directory it keeps there. So nothing set aside or taken
// back is removed unless its owner, looked at when the account can no longer
// change it, is the account; anything else stays, with a Warning, and keeps
// the set-aside directory. What was within the account's reach never goes
// back into the restore root, which only root can reach.
#include "postgresql/placement.h"

#include "log/hx_logger.h"
#include "postgresql/hx_postgresql_common.h"
#include "utils/hx_utils_common.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace fs = boost::filesystem;
using hx_utils_common::UniqueFd;

namespace hx_postgresql_common {
namespace placement {

const char* const kTaskDirectory = ".hx_restore_deployment";

namespace {

// Sources copied by one cp run.
const std::size_t kCopyBatch = 256;

// A mount point's own directory, which belongs to the file system, not to
// the server.
const char* const kLostFound = "lost+found";

const char* const kRecordsMagic = "hx-restore-deployment 1";
const char* const kMovedMagic = "hx-restore-moved 1";
const char* const kRecordsFile = "deployment";
const std::size_t kPlacementFields = 14;

[[noreturn]] void fail(const std::string& what, const fs::path& path, int error) {
  throw std::runtime_error(what + " " + path_text(path) + " (" + std::strerror(error) + ")");
}

[[noreturn]] void foreign(const fs::path& target) {
  throw std::runtime_error(path_text(target / kTaskDirectory) +
                           " is not the set-aside directory the deployment made: it was left as it is");
}

bool exists_at(int at, const std::string& name) {
  struct stat st {};
  return ::fstatat(at, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

// The entries of a directory, sorted, without those in `left_out`.
std::vector<std::string> names_of(int fd, const fs::path& shown, const std::set<std::string>& left_out = {}) {
  std::vector<std::string> all;
  if (!hx_utils_common::directory_names(fd, all)) fail("can't read", shown, errno);
  std::vector<std::string> out;
  for (std::string& name : all) {
    if (left_out.count(name) == 0) out.push_back(std::move(name));
  }
  std::sort(out.begin(), out.end());
  return out;
}

// A rename between two directories that never replaces what lies at the new
// name.
void move_at(int from, const std::string& from_name, int to, const std::string& to_name, const fs::path& shown_from,
             const fs::path& shown_to) {
  int done = ::renameat2(from, from_name.c_str(), to, to_name.c_str(), RENAME_NOREPLACE);
  // A file system without the flag: nothing may lie at the new name.
  if (done != 0 && (errno == EINVAL || errno == ENOSYS)) {
    done = exists_at(to, to_name) ? (errno = EEXIST, -1) : ::renameat(from, from_name.c_str(), to, to_name.c_str());
  }
  if (done != 0) {
    const int error = errno;
    throw std::runtime_error("can't move " + path_text(shown_from) + " to " + path_text(shown_to) + " (" +
                             std::strerror(error) + ")");
  }
}

void remove_tree(int at, const std::string& name, const fs::path& shown_at) {
  std::string where;
  const int error = hx_utils_common::remove_tree_at(at, name, where);
  if (error != 0) fail("can't remove", shown_at / where, error);
}

// The directory `name` of `at`, made (root's, `mode`) or, when `reuse`, the
// one already there.
UniqueFd directory_in(int at, const std::string& name, const fs::path& shown, bool reuse = false,
                      mode_t mode = 0700) {
  UniqueFd made = hx_utils_common::make_directory_at(at, name, mode);
  if (!made && errno == EEXIST && reuse) made = hx_utils_common::open_directory_at(at, name);
  if (!made) fail("can't create", shown, errno);
  return made;
}

dev_t device_of(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) throw std::runtime_error(std::string("can't examine a directory (") + std::strerror(errno) + ")");
  return st.st_dev;
}

// True when the descriptor is a directory of root's, mode 0700, on `device`.
bool root_only_directory(int fd, dev_t device) {
  struct stat st {};
  return ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == 0 && (st.st_mode & 07777) == 0700 &&
         st.st_dev == device;
}

// Copies entries of one directory into another (cp -a: modes, owners, times
// and links kept), naming both by their descriptors; throws with cp's output
// when it fails.
void copy_into(int target, const fs::path& shown_target, int source, const fs::path& shown_source,
               const std::vector<std::string>& names) {
  std::vector<std::string> args = {"cp", "-a", "-t", hx_utils_common::descriptor_path(target), "--"};
  for (const std::string& name : names) args.push_back(hx_utils_common::descriptor_path(source) + "/" + name);
  std::string output;
  if (hx_utils_common::run_program(args, &output) != 0) {
    while (!output.empty() && output.back() == '\n') output.pop_back();
    throw std::runtime_error("can't copy " + path_text(shown_source / names.front()) +
                             (names.size() > 1 ? " and further entries" : "") + " to " + path_text(shown_target) +
                             ": " + output);
  }
}

void size_below(int at, const std::string& name, std::uint64_t block, std::uint64_t& bytes, std::uint64_t& count,
                const fs::path& shown) {
  struct stat st {};
  if (::fstatat(at, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) fail("can't examine", shown / name, errno);
  if (++count % 256 == 0) hx_utils_common::abort_point();
  if (S_ISREG(st.st_mode)) {
    const std::uint64_t used =
        std::min<std::uint64_t>(static_cast<std::uint64_t>(st.st_size), static_cast<std::uint64_t>(st.st_blocks) * 512);
    bytes += (used + block - 1) / block * block;
    return;
  }
  bytes += block;
  if (!S_ISDIR(st.st_mode)) return;
  const UniqueFd directory = hx_utils_common::open_directory_at(at, name);
  if (!directory) fail("can't open", shown / name, errno);
  for (const std::string& entry : names_of(directory.get(), shown / name)) {
    size_below(directory.get(), entry, block, bytes, count, shown / name);
  }
}

// ---- Records -----------------------------------------------------------------

void put(std::string& out, const std::string& field) {
  out += field;
  out += '\0';
}

void put(std::string& out, const Identity& identity) {
  put(out, std::to_string(identity.device));
  put(out, std::to_string(identity.inode));
  put(out, std::to_string(identity.birth_seconds));
  put(out, std::to_string(identity.birth_nanoseconds));
}

// The NUL-terminated fields of a record file.
std::vector<std::string> fields_of(const std::string& data, const std::string& shown) {
  std::vector<std::string> fields;
  if (!data.empty() && data.back() != '\0') throw std::runtime_error("the deployment record " + shown + " is cut short");
  std::size_t begin = 0;
  while (begin < data.size()) {
    const std::size_t end = data.find('\0', begin);
    fields.push_back(data.substr(begin, end - begin));
    begin = end + 1;
  }
  return fields;
}

std::uint64_t number(const std::string& text, const std::string& shown) {
  if (text.empty() || text.find_first_not_of("-0123456789") != std::string::npos) {
    throw std::runtime_error("the deployment record " + shown + " holds no number where one belongs");
  }
  return static_cast<std::uint64_t>(std::stoll(text));
}

Identity identity_from(const std::vector<std::string>& fields, std::size_t at, const std::string& shown) {
  Identity identity;
  identity.device = number(fields[at], shown);
  identity.inode = number(fields[at + 1], shown);
  identity.birth_seconds = static_cast<std::int64_t>(number(fields[at + 2], shown));
  identity.birth_nanoseconds = static_cast<std::uint32_t>(number(fields[at + 3], shown));
  return identity;
}

Step step_from(const std::string& text, const std::string& shown) {
  const std::uint64_t value = number(text, shown);
  if (value > 2) throw std::runtime_error("the deployment record " + shown + " holds an unknown step");
  return static_cast<Step>(value);
}

// ---- Removal of what was within the account's reach -------------------------

void warn(const std::string& text) { HxLogStream(HxLogLvl::Warning) << text << std::endl; }

// The directory of the set-aside tree into which each entry that is to be
// removed is renamed first, under a fresh name.
struct Hold {
  UniqueFd fd;
  fs::path shown;
  std::uint64_t next = 0;
};

// Opens (making it when missing) the hold directory of the set-aside
// directory `aside` (shown as `shown`).
Hold hold_in(int aside, const fs::path& shown) {
  Hold hold;
  hold.shown = shown / "hold";
  hold.fd = directory_in(aside, "hold", hold.shown, true);
  return hold;
}

// Renames `name` of `dir` into the hold directory under a fresh name, which
// `slot` receives. False when nothing lies at the name any more; EBUSY and
// EXDEV (a mount point, or one of another mount) are left to the caller in
// errno; other failures throw.
bool take_into_hold(int dir, const std::string& name, const fs::path& shown, Hold& hold, std::string& slot) {
  if (hx_utils_common::rename_to_fresh_name(dir, name, hold.fd.get(), "", hold.next, slot)) return true;
  if (errno == ENOENT || errno == EBUSY || errno == EXDEV) return false;
  fail("can't remove", shown / name, errno);
}

// Removes what the directory `dir` (shown as `shown`) holds, at every depth,
// that the account `uid` owns; `any_owner` lets the entries of this level go
// whatever their owner (restored entries the deployment itself placed).
// Each entry is renamed into the hold directory first and judged there, by
// what lies under a name that only root can change, so that the entry
// examined is the entry removed: the account may keep a working directory
// anywhere in the tree and rename what lies in it at any moment. An entry of
// another owner, a mount point, and a directory that is not empty when it
// is to go stay: put back where they were (or left in the hold directory
// when their place was taken meanwhile), their paths added to `kept`. True
// when everything went.
bool clear_owned(int dir, const fs::path& shown, uid_t uid, Hold& hold, std::vector<std::string>& kept,
                 bool any_owner = false) {
  bool whole = true;
  for (const std::string& name : names_of(dir, shown)) {
    std::string slot;
    if (!take_into_hold(dir, name, shown, hold, slot)) {
      if (errno == EBUSY || errno == EXDEV) {
        kept.push_back(path_text(shown / name) + ", a mount point");
        whole = false;
      }
      continue;
    }
    struct stat st {};
    if (::fstatat(hold.fd.get(), slot.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) fail("can't examine", shown / name, errno);
    bool gone = false;
    bool reported = false;
    if (!any_owner && st.st_uid != uid) {
      kept.push_back(path_text(shown / name) + ", " + hx_utils_common::describe_entry(st));
      reported = true;
    } else if (S_ISDIR(st.st_mode)) {
      const UniqueFd below = hx_utils_common::open_directory_at(hold.fd.get(), slot);
      if (!below) fail("can't open", shown / name, errno);
      reported = !clear_owned(below.get(), shown / name, uid, hold, kept);
      gone = ::unlinkat(hold.fd.get(), slot.c_str(), AT_REMOVEDIR) == 0;
      if (!gone && errno != ENOTEMPTY && errno != EEXIST) fail("can't remove", shown / name, errno);
      if (!gone && !reported) {
        kept.push_back(path_text(shown / name) + ", a directory that was not empty when it was to be removed");
        reported = true;
      }
    } else {
      if (::unlinkat(hold.fd.get(), slot.c_str(), 0) != 0) fail("can't remove", shown / name, errno);
      gone = true;
    }
    if (gone) continue;
    whole = false;
    if (::renameat2(hold.fd.get(), slot.c_str(), dir, name.c_str(), RENAME_NOREPLACE) != 0) {
      kept.push_back(path_text(shown / name) + " is now " + path_text(hold.shown / slot));
    }
  }
  return whole;
}

// Removes the entry `name` of `dir`, a directory that only root can change
// (so the name holds still), shown as `shown`, with clear_owned's rules
// below it; the entry itself goes whatever its owner when `any_owner`. True
// when it went.
bool remove_owned(int dir, const std::string& name, const fs::path& shown, uid_t uid, Hold& hold,
                  std::vector<std::string>& kept, bool any_owner) {
  struct stat st {};
  if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno == ENOENT) return true;
    fail("can't examine", shown, errno);
  }
  if (!any_owner && st.st_uid != uid) {
    kept.push_back(path_text(shown) + ", " + hx_utils_common::describe_entry(st));
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    if (::unlinkat(dir, name.c_str(), 0) != 0) fail("can't remove", shown, errno);
    return true;
  }
  const UniqueFd directory = hx_utils_common::open_directory_at(dir, name);
  if (!directory) fail("can't open", shown, errno);
  if (!clear_owned(directory.get(), shown, uid, hold, kept)) return false;
  if (::unlinkat(dir, name.c_str(), AT_REMOVEDIR) == 0) return true;
  if (errno != ENOTEMPTY && errno != EEXIST) fail("can't remove", shown, errno);
  kept.push_back(path_text(shown) + ", a directory that was not empty when it was to be removed");
  return false;
}

// Names, with a Warning each, what a removal left; empty when nothing.
void warn_kept(const std::vector<std::string>& kept) {
  for (const std::string& entry : kept) {
    warn(entry + " was not removed: only what the server's account or the deployment owns is removed");
  }
}

// ---- Roll-back -------------------------------------------------------------

// Where a roll-back is: the destination, its set-aside directory, the
// restored tree and the entries that were warned about.
struct Undo {
  fs::path target;
  UniqueFd target_fd;
  UniqueFd aside;
  std::string aside_name;
  fs::path source_path;
  UniqueFd source;
  uid_t account = 0;
  Hold hold;
  std::set<std::string> warned;
  std::vector<std::string> kept;
};

// One restored entry leaves the destination: renamed into the hold
// directory under a fresh name, checked there against the record, and
// removed as finish removes. It was within the server's account's reach, so
// it never returns into the restore root. An entry that is not the one the
// deployment put there goes back (or, when its name was taken meanwhile,
// stays in the hold directory, named).
void take_back(Undo& undo, const Moved& moved) {
  const fs::path shown = undo.target / moved.name;
  if (moved.name == undo.aside_name) {
    // The server's account renamed the set-aside directory to this name.
    warn("The restored " + path_text(shown) + " is no longer in the destination");
    return;
  }
  std::string slot;
  if (!take_into_hold(undo.target_fd.get(), moved.name, shown.parent_path(), undo.hold, slot)) {
    if (errno == EBUSY || errno == EXDEV) {
      undo.kept.push_back(path_text(shown) + ", a mount point");
      undo.warned.insert(moved.name);
      return;
    }
    // Not moved in yet, or taken back already.
    if (!undo.source || !exists_at(undo.source.get(), moved.name)) {
      warn("The restored " + path_text(shown) + " is no longer in the destination");
    }
    return;
  }
  Identity found;
  if (!identity_at(undo.hold.fd.get(), slot, found) || found != moved.identity) {
    // Put there by someone else: it goes back where it was found.
    undo.warned.insert(moved.name);
    if (::renameat2(undo.hold.fd.get(), slot.c_str(), undo.target_fd.get(), moved.name.c_str(), RENAME_NOREPLACE) ==
        0) {
      warn(path_text(shown) + " stays where it is: it is not the entry the deployment put there");
    } else {
      undo.kept.push_back(path_text(shown) + ", not the entry the deployment put there, is now " +
                          path_text(undo.hold.shown / slot));
    }
    return;
  }
  remove_owned(undo.hold.fd.get(), slot, shown, undo.account, undo.hold, undo.kept, true);
}

// Returns the destination's own entry `name` from old/; an entry that took
// its name meanwhile goes into added/ first, with a Warning.
void return_old(Undo& undo, int old, const std::string& name) {
  const fs::path from = undo.target / kTaskDirectory / "old" / name;
  if (::renameat2(old, name.c_str(), undo.target_fd.get(), name.c_str(), RENAME_NOREPLACE) == 0) return;
  if (errno != EEXIST) {
    move_at(old, name, undo.target_fd.get(), name, from, undo.target / name);  // reports the failure
    return;
  }
  const fs::path added = undo.target / kTaskDirectory / "added";
  const UniqueFd added_fd = directory_in(undo.aside.get(), "added", added, true);
  move_at(undo.target_fd.get(), name, added_fd.get(), name, undo.target / name, added / name);
  warn(path_text(undo.target / name) + ", which took the place of one of the server's own entries while the "
       "deployment was interrupted, is kept as " + path_text(added / name));
  move_at(old, name, undo.target_fd.get(), name, from, undo.target / name);
}

}  // namespace

bool Identity::operator==(const Identity& other) const {
  return device == other.device && inode == other.inode && birth_seconds == other.birth_seconds &&
         birth_nanoseconds == other.birth_nanoseconds;
}

bool identity_at(int at, const std::string& name, Identity& out) {
  struct statx st {};
  const int flags = AT_SYMLINK_NOFOLLOW | (name.empty() ? AT_EMPTY_PATH : 0);
  if (::statx(at, name.c_str(), flags, STATX_INO | STATX_BTIME, &st) != 0) return false;
  out.device = makedev(st.stx_dev_major, st.stx_dev_minor);
  out.inode = st.stx_ino;
  const bool born = (st.stx_mask & STATX_BTIME) != 0;
  out.birth_seconds = born ? st.stx_btime.tv_sec : 0;
  out.birth_nanoseconds = born ? st.stx_btime.tv_nsec : 0;
  return true;
}

std::string path_text(const fs::path& path) {
  std::ostringstream out;
  out << path;
  return out.str();
}

// ---- RecordStore ---------------------------------------------------------------

bool RecordStore::open(const std::string& path, std::string& error) {
  path_ = path;
  directory_ = hx_utils_common::open_private_directory(path, 0700, error);
  return directory_.valid();
}

void RecordStore::write(const std::string& name, const std::string& data) const {
  const std::string fresh = name + ".new";
  const fs::path shown = fs::path(path_) / name;
  UniqueFd fd(::openat(directory_.get(), fresh.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd) fail("can't write the deployment record", shown, errno);
  if (!hx_utils_common::write_all(fd.get(), data) || ::fsync(fd.get()) != 0) {
    fail("can't write the deployment record", shown, errno);
  }
  fd.reset();
  if (::renameat(directory_.get(), fresh.c_str(), directory_.get(), name.c_str()) != 0 ||
      ::fsync(directory_.get()) != 0) {
    fail("can't write the deployment record", shown, errno);
  }
}

bool RecordStore::load(Records& records) const {
  const std::string shown = path_text(fs::path(path_) / kRecordsFile);
  // False when there is no such record; a record that can't be read throws.
  auto read = [&](const std::string& name, std::string& data) {
    std::string why;
    if (hx_utils_common::read_regular_file(name, data, why, directory_.get())) return true;
    if (errno == ENOENT) return false;
    throw std::runtime_error("can't read the deployment record " + path_text(fs::path(path_) / name) + " (" + why +
                             ")");
  };
  std::string data;
  if (!read(kRecordsFile, data)) return false;
  const std::vector<std::string> fields = fields_of(data, shown);
  if (fields.size() < 5 || fields[0] != kRecordsMagic ||
      fields.size() != 5 + kPlacementFields * number(fields[4], shown)) {
    throw std::runtime_error("the deployment record " + shown + " is not one this program wrote");
  }
  records = Records();
  records.root = fields[1];
  records.server_ran = fields[2] == "1";
  records.complete = fields[3] == "1";
  for (std::size_t at = 5; at < fields.size(); at += kPlacementFields) {
    Record record;
    record.destination = fields[at];
    record.target = fields[at + 1];
    record.source = fields[at + 2];
    record.made = step_from(fields[at + 3], shown);
    record.made_identity = identity_from(fields, at + 4, shown);
    record.aside = step_from(fields[at + 8], shown);
    record.aside_identity = identity_from(fields, at + 9, shown);
    record.set_aside = fields[at + 13] == "1";
    const std::string moved_name = "moved." + std::to_string(records.placements.size());
    std::string moved;
    if (read(moved_name, moved)) {
      const std::string moved_shown = path_text(fs::path(path_) / moved_name);
      const std::vector<std::string> list = fields_of(moved, moved_shown);
      if (list.empty() || list[0] != kMovedMagic || (list.size() - 1) % 5 != 0) {
        throw std::runtime_error("the deployment record " + moved_shown + " is not one this program wrote");
      }
      for (std::size_t i = 1; i < list.size(); i += 5) record.moved.push_back({list[i], identity_from(list, i + 1, moved_shown)});
    }
    records.placements.push_back(std::move(record));
  }
  return true;
}

void RecordStore::save(const Records& records) const {
  std::string data;
  put(data, kRecordsMagic);
  put(data, records.root);
  put(data, records.server_ran ? "1" : "0");
  put(data, records.complete ? "1" : "0");
  put(data, std::to_string(records.placements.size()));
  for (const Record& record : records.placements) {
    put(data, record.destination);
    put(data, record.target);
    put(data, record.source);
    put(data, std::to_string(static_cast<int>(record.made)));
    put(data, record.made_identity);
    put(data, std::to_string(static_cast<int>(record.aside)));
    put(data, record.aside_identity);
    put(data, record.set_aside ? "1" : "0");
  }
  write(kRecordsFile, data);
}

void RecordStore::save_moved(std::size_t index, const std::vector<Moved>& moved) const {
  std::string data;
  put(data, kMovedMagic);
  for (const Moved& entry : moved) {
    put(data, entry.name);
    put(data, entry.identity);
  }
  write("moved." + std::to_string(index), data);
}

void RecordStore::remove_moved_lists() const {
  for (const std::string& name : names_of(directory_.get(), path_)) {
    if (name.rfind("moved.", 0) == 0 && ::unlinkat(directory_.get(), name.c_str(), 0) != 0 && errno != ENOENT) {
      fail("can't remove the deployment record", fs::path(path_) / name, errno);
    }
  }
}

void RecordStore::clear() const {
  // The lists go first: records without them still describe the deployment,
  // lists without records are never read.
  remove_moved_lists();
  for (const std::string& name : std::vector<std::string>{kRecordsFile, std::string(kRecordsFile) + ".new"}) {
    if (::unlinkat(directory_.get(), name.c_str(), 0) != 0 && errno != ENOENT) {
      fail("can't remove the deployment record", fs::path(path_) / name, errno);
    }
  }
  if (::fsync(directory_.get()) != 0) fail("can't remove the deployment records in", path_, errno);
}

// ---- One destination -----------------------------------------------------------

namespace {

// The recorded set-aside directory under another name of the destination.
UniqueFd renamed_aside(int target, const Record& record, std::string& name) {
  std::vector<std::string> names;
  if (record.aside != Step::Done || !hx_utils_common::directory_names(target, names)) return UniqueFd();
  for (const std::string& entry : names) {
    Identity identity;
    if (!identity_at(target, entry, identity) || identity != record.aside_identity) continue;
    UniqueFd aside = hx_utils_common::open_directory_at(target, entry);
    if (aside && identity_at(aside.get(), "", identity) && identity == record.aside_identity &&
        root_only_directory(aside.get(), device_of(target))) {
      name = entry;
      return aside;
    }
  }
  return UniqueFd();
}

}  // namespace

Aside recorded_aside(int target, const Record& record, UniqueFd* fd, std::string* name) {
  if (name != nullptr) *name = kTaskDirectory;
  UniqueFd aside = hx_utils_common::open_directory_at(target, kTaskDirectory);
  Aside found = Aside::Foreign;
  if (!aside && errno == ENOENT && !exists_at(target, kTaskDirectory)) found = Aside::Absent;
  Identity identity;
  bool ours = false;
  if (aside && record.aside == Step::Done) {
    ours = identity_at(aside.get(), "", identity) && identity == record.aside_identity &&
           root_only_directory(aside.get(), device_of(target));
  } else if (aside && record.aside == Step::Begun) {
    // Made and not yet recorded: an empty directory of root's, 0700.
    std::vector<std::string> names;
    ours = root_only_directory(aside.get(), device_of(target)) &&
           hx_utils_common::directory_names(aside.get(), names) && names.empty();
  }
  std::string renamed;
  if (!ours && (aside = renamed_aside(target, record, renamed))) {
    ours = true;
    HxLogStream(HxLogLvl::Warning) << "The set-aside directory " << path_text(fs::path(record.target) / kTaskDirectory)
                                   << " was renamed to " << path_text(fs::path(record.target) / renamed) << std::endl;
    if (name != nullptr) *name = renamed;
  }
  if (ours && fd != nullptr) *fd = std::move(aside);
  return ours ? Aside::Ours : found;
}

bool crosses_file_systems(const Placement& placement) {
  if (!placement.source) return false;
  return device_of(placement.source.get()) !=
         device_of(placement.target ? placement.target.get() : placement.parent.get());
}

void tree_size(const Placement& placement, std::uint64_t block, std::uint64_t& bytes, std::uint64_t& count) {
  if (!placement.source) return;
  std::set<std::string> left_out = placement.skipped;
  left_out.insert(kLostFound);
  for (const std::string& name : names_of(placement.source.get(), placement.source_path, left_out)) {
    size_below(placement.source.get(), name, block, bytes, count, placement.source_path);
  }
}

void prepare(Placement& placement) {
  const fs::path target = placement.record.target;
  if (!placement.target) {
    // Without permission bits until it is handed over: only a directory
    // the deployment made is root's, has no permission bits and is empty.
    placement.target = directory_in(placement.parent.get(), target.filename().string(), target, false, 0);
    if (!identity_at(placement.target.get(), "", placement.record.made_identity)) fail("can't examine", target, errno);
    placement.record.made = Step::Done;
  }
  placement.aside = directory_in(placement.target.get(), kTaskDirectory, target / kTaskDirectory);
  // What was opened is what was made: root's, 0700, on the destination's file system.
  if (!root_only_directory(placement.aside.get(), device_of(placement.target.get())) ||
      !identity_at(placement.aside.get(), "", placement.record.aside_identity)) {
    foreign(target);
  }
  placement.record.aside = Step::Done;
}

void hand_over_made(const Placement& placement) {
  if (placement.record.made != Step::Done) return;
  struct stat source {};
  if (!placement.source || ::fstat(placement.source.get(), &source) != 0 || !S_ISDIR(source.st_mode)) {
    source.st_mode = S_IFDIR | 0700;
    source.st_uid = 0;
    source.st_gid = 0;
  }
  if (::fchown(placement.target.get(), source.st_uid, source.st_gid) != 0 ||
      ::fchmod(placement.target.get(), source.st_mode & 07777) != 0) {
    fail("can't hand over", placement.record.target, errno);
  }
}

void set_aside(Placement& placement) {
  const fs::path target = placement.record.target;
  const UniqueFd old = directory_in(placement.aside.get(), "old", target / kTaskDirectory / "old");
  // Made now, so that a roll-back needs nothing new of a file system that
  // may have filled up meanwhile.
  directory_in(placement.aside.get(), "hold", target / kTaskDirectory / "hold");
  std::set<std::string> left_out = placement.skipped;
  left_out.insert(kTaskDirectory);
  for (const std::string& name : file_system_entries(placement.target.get())) left_out.insert(name);
  for (const std::string& name : names_of(placement.target.get(), target, left_out)) {
    move_at(placement.target.get(), name, old.get(), name, target / name, target / kTaskDirectory / "old" / name);
  }
}

void fill(Placement& placement, const std::set<std::string>& copied, const std::function<void()>& save) {
  if (!placement.source) return;
  const fs::path target = placement.record.target;
  const fs::path incoming_path = target / kTaskDirectory / "incoming";
  // A mount point's lost+found belongs to the file system the backup was
  // read from, not to the server.
  std::set<std::string> left_out = placement.skipped;
  left_out.insert(kLostFound);
  const bool crosses = crosses_file_systems(placement);
  std::vector<std::string> renamed;
  std::vector<std::string> copies;
  for (const std::string& name : names_of(placement.source.get(), placement.source_path, left_out)) {
    (crosses || copied.count(name) != 0 ? copies : renamed).push_back(name);
  }
  std::vector<Moved>& moved = placement.record.moved;
  if (!renamed.empty()) {
    for (const std::string& name : renamed) {
      moved.push_back({name, {}});
      if (!identity_at(placement.source.get(), name, moved.back().identity)) {
        fail("can't examine", placement.source_path / name, errno);
      }
    }
    save();
    for (const std::string& name : renamed) {
      move_at(placement.source.get(), name, placement.target.get(), name, placement.source_path / name, target / name);
    }
  }
  if (copies.empty()) return;
  const UniqueFd incoming = directory_in(placement.aside.get(), "incoming", incoming_path);
  for (std::size_t begin = 0; begin < copies.size(); begin += kCopyBatch) {
    const std::vector<std::string> batch(copies.begin() + static_cast<std::ptrdiff_t>(begin),
                                         copies.begin() + static_cast<std::ptrdiff_t>(std::min(copies.size(), begin + kCopyBatch)));
    copy_into(incoming.get(), incoming_path, placement.source.get(), placement.source_path, batch);
    // The copies reach stable storage before they take the place of
    // anything: a crash of the host never leaves a name of the destination
    // on a file whose data were still in memory.
    if (::syncfs(incoming.get()) != 0) fail("can't flush the copies in", incoming_path, errno);
    for (const std::string& name : batch) {
      moved.push_back({name, {}});
      if (!identity_at(incoming.get(), name, moved.back().identity)) fail("can't examine", incoming_path / name, errno);
    }
    save();
    for (const std::string& name : batch) {
      move_at(incoming.get(), name, placement.target.get(), name, incoming_path / name, target / name);
    }
  }
}

void make_durable(const Placement& placement) {
  const fs::path target = placement.record.target;
  std::vector<std::pair<int, fs::path>> changed = {{placement.target.get(), target},
                                                   {placement.aside.get(), target / kTaskDirectory},
                                                   {placement.source.get(), placement.source_path},
                                                   {placement.parent.get(), target.parent_path()}};
  std::vector<UniqueFd> held;
  for (const char* name : {"old", "incoming"}) {
    UniqueFd fd = hx_utils_common::open_directory_at(placement.aside.get(), name);
    if (fd) changed.emplace_back(fd.get(), target / kTaskDirectory / name);
    held.push_back(std::move(fd));
  }
  for (const auto& directory : changed) {
    if (directory.first >= 0 && ::fsync(directory.first) != 0) fail("can't flush", directory.second, errno);
  }
}

std::set<std::string> file_system_entries(int target) {
  const UniqueFd parent(::openat(target, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  struct stat st {};
  if (!parent || hx_utils_common::same_mount(parent.get(), target) ||
      ::fstatat(target, kLostFound, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode)) {
    return {};
  }
  return {kLostFound};
}

namespace {

// The walk of first_foreign_entry below the directory `fd` (shown as
// `shown`), which lies on the mount `mount`.
std::string foreign_below(int fd, const fs::path& shown, uid_t uid, std::uint64_t mount,
                          const std::set<std::string>& left_out, std::uint64_t& count) {
  for (const std::string& name : names_of(fd, shown, left_out)) {
    if (++count % 256 == 0) hx_utils_common::abort_point();
    struct stat st {};
    if (::fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT) continue;
      fail("can't examine", shown / name, errno);
    }
    if (st.st_uid != uid) return path_text(shown / name) + ", " + hx_utils_common::describe_entry(st);
    if (!S_ISDIR(st.st_mode)) continue;
    const UniqueFd below = hx_utils_common::open_directory_at(fd, name);
    std::uint64_t here = 0;
    if (!below || !hx_utils_common::mount_of(below.get(), here)) {
      if (errno == ENOENT) continue;
      fail("can't open", shown / name, errno);
    }
    if (here != mount) return path_text(shown / name) + ", a mount point below the destination's top";
    const std::string found = foreign_below(below.get(), shown / name, uid, mount, {}, count);
    if (!found.empty()) return found;
  }
  return "";
}

}  // namespace

std::string first_foreign_entry(int target, const fs::path& shown, uid_t uid, const std::set<std::string>& left_out) {
  std::uint64_t mount = 0;
  if (!hx_utils_common::mount_of(target, mount)) fail("can't examine", shown, errno);
  std::set<std::string> skipped = left_out;
  for (const std::string& name : file_system_entries(target)) skipped.insert(name);
  std::uint64_t count = 0;
  return foreign_below(target, shown, uid, mount, skipped, count);
}

bool finish(const Record& record, uid_t account) {
  const fs::path target = record.target;
  const UniqueFd target_fd = hx_utils_common::open_directory_nofollow(record.target);
  if (!target_fd) {
    if (errno == ENOENT && record.aside == Step::None) return true;
    fail("can't open", target, errno);
  }
  UniqueFd aside;
  std::string name;
  switch (recorded_aside(target_fd.get(), record, &aside, &name)) {
    case Aside::Absent:
      return true;
    case Aside::Foreign:
      foreign(target);
    case Aside::Ours:
      break;
  }
  const fs::path shown = target / name;
  // Copies on their way in were never within the account's reach.
  remove_tree(aside.get(), "incoming", shown);
  Hold hold = hold_in(aside.get(), shown);
  std::vector<std::string> kept;
  // What the hold directory holds is left from a removal cut short; it is
  // judged like the rest.
  for (const char* held : {"old", "hold", "added"}) {
    if (std::string(held) == "hold") {
      clear_owned(hold.fd.get(), shown / held, account, hold, kept);
      continue;
    }
    remove_owned(aside.get(), held, shown / held, account, hold, kept, true);
  }
  hold.fd.reset();
  if (::unlinkat(aside.get(), "hold", AT_REMOVEDIR) != 0 && errno != ENOENT && errno != ENOTEMPTY) {
    fail("can't remove", shown / "hold", errno);
  }
  if (::unlinkat(target_fd.get(), name.c_str(), AT_REMOVEDIR) == 0) {
    if (::fsync(target_fd.get()) != 0) fail("can't flush", target, errno);
    return true;
  }
  if (errno != ENOTEMPTY && errno != EEXIST) fail("can't remove", shown, errno);
  warn_kept(kept);
  warn("The set-aside directory " + path_text(shown) + " is kept with what was not removed: look at it and remove it "
       "before the next restore into " + path_text(record.destination));
  return false;
}

namespace {

// True when the restore root `root` holds every restored entry that the
// record names as moved into the destination: it was copied from there, or
// the archiver unpacked it again before this run. One renamed out of the
// root, and since removed, is missing.
bool root_holds_restored(const Record& record, const std::string& root) {
  if (record.source.empty() || record.moved.empty()) return true;
  const UniqueFd root_fd = hx_utils_common::open_directory_nofollow(root);
  const UniqueFd source =
      root_fd ? hx_utils_common::open_directory_nofollow(record.source, root_fd.get()) : UniqueFd();
  if (!source) return false;
  for (const Moved& moved : record.moved) {
    if (!exists_at(source.get(), moved.name)) return false;
  }
  return true;
}

// Removes the destination when the deployment made it (its identity as
// recorded, or, made and not yet recorded, root's without permission bits
// and empty) and nothing else is in it.
void remove_made(const Record& record, const Undo& undo) {
  if (record.made == Step::None) return;
  Identity identity;
  struct stat st {};
  std::vector<std::string> names;
  const bool made = record.made == Step::Done
                        ? identity_at(undo.target_fd.get(), "", identity) && identity == record.made_identity
                        : ::fstat(undo.target_fd.get(), &st) == 0 && st.st_uid == 0 && (st.st_mode & 07777) == 0 &&
                              hx_utils_common::directory_names(undo.target_fd.get(), names) && names.empty();
  if (!made) return;
  const UniqueFd parent = hx_utils_common::open_directory_nofollow(undo.target.parent_path().string());
  if (!parent) fail("can't open", undo.target.parent_path(), errno);
  if (::unlinkat(parent.get(), undo.target.filename().c_str(), AT_REMOVEDIR) != 0) {
    if (errno != ENOTEMPTY && errno != EEXIST) fail("can't remove", undo.target, errno);
    warn("The destination " + path_text(undo.target) + ", which the deployment made, is not empty: it stays");
  } else if (::fsync(parent.get()) != 0) {
    fail("can't flush", undo.target.parent_path(), errno);
  }
}

}  // namespace

bool roll_back(const Record& record, const std::string& root, uid_t account) {
  Undo undo;
  undo.target = record.target;
  undo.source_path = fs::path(root) / record.source;
  undo.account = account;
  undo.target_fd = hx_utils_common::open_directory_nofollow(record.target);
  if (!undo.target_fd) {
    // A destination the deployment was to make: not made (another entry
    // took its name first), or removed already.
    if ((errno == ENOENT || errno == ENOTDIR || errno == ELOOP) && record.made != Step::None) {
      return root_holds_restored(record, root);
    }
    fail("can't open", undo.target, errno);
  }
  if (!record.source.empty()) {
    const UniqueFd root_fd = hx_utils_common::open_directory_nofollow(root);
    if (root_fd) undo.source = hx_utils_common::open_directory_nofollow(record.source, root_fd.get());
    if (!undo.source && errno != ENOENT) fail("can't open", undo.source_path, errno);
  }
  Aside aside = recorded_aside(undo.target_fd.get(), record, &undo.aside, &undo.aside_name);
  if (aside == Aside::Foreign && record.aside == Step::Begun) {
    // Not made by the deployment, which made nothing in the destination yet.
    warn(path_text(undo.target / kTaskDirectory) + " was not made by the deployment: it was left as it is");
    aside = Aside::Absent;
    undo.aside_name = kTaskDirectory;
  }
  if (aside == Aside::Foreign) foreign(undo.target);
  if (aside == Aside::Absent && record.set_aside) {
    warn("The set-aside directory of " + path_text(undo.target) + ", with the destination's own entries, is not in "
         "it any more");
  }
  std::set<std::string> old_names;
  bool aside_kept = false;
  if (aside == Aside::Ours) {
    const fs::path shown = undo.target / undo.aside_name;
    undo.hold = hold_in(undo.aside.get(), shown);
    for (const Moved& moved : record.moved) take_back(undo, moved);
    remove_tree(undo.aside.get(), "incoming", shown);
    const UniqueFd old = hx_utils_common::open_directory_at(undo.aside.get(), "old");
    if (old) {
      for (const std::string& name : names_of(old.get(), shown / "old")) {
        return_old(undo, old.get(), name);
        old_names.insert(name);
      }
    } else if (errno != ENOENT) {
      fail("can't open", shown / "old", errno);
    }
    // What a roll-back cut short left in the hold directory is judged like
    // the rest.
    clear_owned(undo.hold.fd.get(), undo.hold.shown, account, undo.hold, undo.kept);
    undo.hold.fd.reset();
    for (const char* name : {"old", "hold"}) {
      if (::unlinkat(undo.aside.get(), name, AT_REMOVEDIR) != 0 && errno != ENOENT) {
        if (errno != ENOTEMPTY && errno != EEXIST) fail("can't remove", shown / name, errno);
      }
    }
    if (::unlinkat(undo.target_fd.get(), undo.aside_name.c_str(), AT_REMOVEDIR) != 0) {
      if (errno != ENOTEMPTY && errno != EEXIST) fail("can't remove", shown, errno);
      aside_kept = true;
    }
  }
  if (record.set_aside && aside == Aside::Ours) {
    // What neither the server nor the deployment put there stays, and is named.
    std::set<std::string> left_out = file_system_entries(undo.target_fd.get());
    if (aside_kept) left_out.insert(undo.aside_name);
    for (const std::string& name : names_of(undo.target_fd.get(), undo.target, left_out)) {
      struct stat st {};
      if (old_names.count(name) != 0 || undo.warned.count(name) != 0 ||
          (::fstatat(undo.target_fd.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode) &&
           st.st_dev != device_of(undo.target_fd.get()))) {
        continue;
      }
      warn(path_text(undo.target / name) + " stays where it is: neither the server's own files nor the restored "
           "ones held it");
    }
  }
  if (aside_kept) {
    warn_kept(undo.kept);
    warn("The set-aside directory " + path_text(undo.target / undo.aside_name) + " is kept with what was not "
         "removed: look at it and remove it before the next restore into " + path_text(record.destination));
  }
  // The server's account may have its entries back any moment: what the
  // destination holds now is made durable before the records go.
  if (::fsync(undo.target_fd.get()) != 0) fail("can't flush", undo.target, errno);
  remove_made(record, undo);
  return root_holds_restored(record, root);
}

}  // namespace placement
}  // namespace hx_postgresql_common
