// The WAL archive as a backup works in it (see wal_archive.h).
#include "postgresql/wal_archive.h"
#include "postgresql/hx_postgresql_common.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace hx_pg_backup {

namespace {

using hx_utils_common::UniqueFd;

const char* const kLinksName = ".hx_backup_wal";

// Removes every regular file of the directory `fd` that `uid` owns: the
// links of a task (to the server's WAL files); anything else kept there
// stays.
void empty_links(int fd, uid_t uid) {
  std::vector<std::string> names;
  if (!hx_utils_common::directory_names(fd, names)) return;
  for (const std::string& name : names) {
    struct stat st {};
    if (::fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) && st.st_uid == uid) {
      ::unlinkat(fd, name.c_str(), 0);
    }
  }
}

}  // namespace

bool WalArchive::open(const std::string& path, uid_t uid, uid_t& owner) {
  close();
  owner = uid;
  UniqueFd archive(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  struct stat st {};
  if (!archive || ::fstat(archive.get(), &st) != 0) return false;
  owner = st.st_uid;
  if (owner != uid) return false;
  archive_ = std::move(archive);
  path_ = path;
  uid_ = uid;
  return true;
}

bool WalArchive::open_links(std::string& error) {
  // One of root's own found there was left by an earlier task of this
  // module that ended before it removed it: what it holds goes with the
  // links of this task.
  std::string why;
  links_ = hx_utils_common::claim_directory_at(archive_.get(), kLinksName, 0700, why);
  if (!links_) error = "can't use " + path_ + "/" + kLinksName + ": " + why;
  return links_.valid();
}

bool WalArchive::fix(const std::string& name, std::uint64_t segment_size, std::string& source, std::string& error) {
  namespace pg = hx_postgresql_common;
  if (!links_ && !open_links(error)) return false;
  struct stat st {};
  std::string why;
  const UniqueFd file = hx_utils_common::open_regular_file(archive_.get(), name, st, why);
  if (!file) {
    error = why;
    return false;
  }
  // What the server archived is its account's, whatever its number of
  // names: a file of any other owner (root's included, which the account can
  // rename into the archive from a directory of its own) is not the server's
  // WAL file, and its content would be archived as if it were.
  if (st.st_uid != uid_) {
    error = hx_utils_common::describe_entry(st) + ", not a file of the server's account";
    return false;
  }
  // The server archives whole segments, and history files of a few hundred
  // bytes; a file of another size under such a name (a sparse one of any
  // length) is none of them.
  const auto size = static_cast<std::uint64_t>(st.st_size);
  const pg::wal_file_kind kind = pg::wal_file_kind_of(name);
  if (kind == pg::wal_file_kind::segment && size != segment_size) {
    error = "a regular file of " + std::to_string(size) + " bytes, not of the server's WAL segment size (" +
            std::to_string(segment_size) + " bytes)";
    return false;
  }
  if (kind != pg::wal_file_kind::segment && size > pg::kHistoryFileBound) {
    error = "a regular file of " + std::to_string(size) + " bytes, more than a history file holds (at most " +
            std::to_string(pg::kHistoryFileBound) + " bytes are taken)";
    return false;
  }
  ::unlinkat(links_.get(), name.c_str(), 0);
  // The opened file itself, not whatever the name leads to by now.
  const std::string opened = "/proc/self/fd/" + std::to_string(file.get());
  if (::linkat(AT_FDCWD, opened.c_str(), links_.get(), name.c_str(), AT_SYMLINK_FOLLOW) != 0) {
    error = "can't link it into " + path_ + "/" + kLinksName + ": " + std::strerror(errno);
    return false;
  }
  source = hx_utils_common::descriptor_path(links_.get()) + "/" + name;
  fixed_.emplace_back(name, st.st_size);
  return true;
}

bool WalArchive::unchanged(std::string& error) const {
  for (const auto& file : fixed_) {
    struct stat st {};
    if (!links_ || ::fstatat(links_.get(), file.first.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      error = "the WAL file " + path_ + "/" + file.first + " can't be examined again (" +
              (links_ ? std::strerror(errno) : "its link is gone") + ")";
      return false;
    }
    if (st.st_size != file.second) {
      error = "the WAL file " + path_ + "/" + file.first + " changed while the archiver read it: it has " +
              std::to_string(st.st_size) + " bytes, not the " + std::to_string(file.second) + " bytes it was checked with";
      return false;
    }
  }
  return true;
}

bool WalArchive::remove(const std::string& name, std::string& why) {
  namespace pg = hx_postgresql_common;
  if (pg::wal_file_kind_of(name) == pg::wal_file_kind::other) {
    why = "not named as a WAL file";
    return false;
  }
  if (!links_ && !open_links(why)) return false;
  // The entry is renamed first into the links directory, which only root
  // can change, and judged there: what is removed is what was looked at,
  // whatever the server's account does to the name meanwhile.
  std::string held;
  std::uint64_t next = 0;
  if (!hx_utils_common::rename_to_fresh_name(archive_.get(), name, links_.get(), "removing.", next, held)) {
    if (errno == ENOENT) return true;
    why = std::strerror(errno);
    return false;
  }
  struct stat st {};
  if (::fstatat(links_.get(), held.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    why = std::strerror(errno);
    return false;
  }
  if (S_ISREG(st.st_mode) && st.st_uid == uid_) {
    if (::unlinkat(links_.get(), held.c_str(), 0) == 0) return true;
    why = std::strerror(errno);
    return false;
  }
  // Not the server's WAL file: it goes back where it was found.
  why = !S_ISREG(st.st_mode) ? hx_utils_common::not_a_regular_file(st.st_mode)
                             : hx_utils_common::describe_entry(st) + ", not a file of the server's account";
  if (::renameat2(links_.get(), held.c_str(), archive_.get(), name.c_str(), RENAME_NOREPLACE) != 0) {
    why += " and is kept as " + path_ + "/" + kLinksName + "/" + held;
  }
  return false;
}

void WalArchive::remove_links() {
  fixed_.clear();
  if (!links_) return;
  empty_links(links_.get(), uid_);
  // Only the directory this task holds: the server's account may have
  // renamed it and put another at its name.
  struct stat held {}, named {};
  if (::fstat(links_.get(), &held) == 0 && ::fstatat(archive_.get(), kLinksName, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
      held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
    ::unlinkat(archive_.get(), kLinksName, AT_REMOVEDIR);
  }
  links_.reset();
}

void WalArchive::close() {
  remove_links();
  archive_.reset();
  path_.clear();
}

}  // namespace hx_pg_backup
