// Working by directory descriptor (see descriptors.h).
#include "utils/descriptors.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include <dirent.h>
#include <unistd.h>

namespace hx_utils_common {

namespace {

// The elements of a path: "." and empty ones dropped.
std::vector<std::string> path_elements(const std::string& path) {
  std::vector<std::string> out;
  std::size_t begin = 0;
  while (begin <= path.size()) {
    std::size_t end = path.find('/', begin);
    if (end == std::string::npos) end = path.size();
    const std::string element = path.substr(begin, end - begin);
    if (!element.empty() && element != ".") out.push_back(element);
    begin = end + 1;
  }
  return out;
}

std::string joined(const std::vector<std::string>& elements, std::size_t count) {
  std::string out;
  for (std::size_t i = 0; i < count; ++i) out += "/" + elements[i];
  return out.empty() ? "/" : out;
}

}  // namespace

UniqueFd::~UniqueFd() { reset(); }

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) reset(other.release());
  return *this;
}

int UniqueFd::release() {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) {
    const int saved = errno;
    ::close(fd_);
    errno = saved;
  }
  fd_ = fd;
}

UniqueFd open_directory_at(int at, const std::string& name) {
  if (name.empty() || name.find('/') != std::string::npos || name == "..") {
    errno = EINVAL;
    return UniqueFd();
  }
  return UniqueFd(::openat(at, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

UniqueFd open_directory_nofollow(const std::string& path, int at) {
  const bool absolute = !path.empty() && path.front() == '/';
  UniqueFd current(::openat(absolute ? AT_FDCWD : at, absolute ? "/" : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!current) return current;
  for (const std::string& element : path_elements(path)) {
    if (element == "..") {
      errno = EINVAL;
      return UniqueFd();
    }
    UniqueFd next = open_directory_at(current.get(), element);
    if (!next) return next;
    current = std::move(next);
  }
  return current;
}

UniqueFd make_directory_at(int at, const std::string& name, mode_t mode) {
  if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..") {
    errno = EINVAL;
    return UniqueFd();
  }
  // Made without any permission bits, then opened by name: what was opened is
  // the directory just made only when it is this user's, has no permission
  // bits and is empty. Another account that swapped the name meanwhile can
  // put no such directory there (it can rename only what it may write, and
  // no directory of this user's has that mode but one just made), so a
  // directory it brought in is never taken for this one.
  if (::mkdirat(at, name.c_str(), 0) != 0) return UniqueFd();
  UniqueFd made = open_directory_at(at, name);
  struct stat st {};
  std::vector<std::string> names;
  if (made && (::fstat(made.get(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() ||
               (st.st_mode & 07777) != 0 || !directory_names(made.get(), names) || !names.empty())) {
    errno = EEXIST;
    return UniqueFd();
  }
  if (made && ::fchmod(made.get(), mode) != 0) return UniqueFd();
  return made;
}

bool only_mine(int fd, std::string& why) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    why = std::string("can't examine it (") + std::strerror(errno) + ")";
    return false;
  }
  if (st.st_uid != ::geteuid()) {
    why = "it is owned by uid " + std::to_string(st.st_uid);
    return false;
  }
  const bool sticky_directory = S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX) != 0;
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && !sticky_directory) {
    why = "group or others may write it";
    return false;
  }
  return true;
}

namespace {

// One element of a walk: the directory `element` of `current`, opened
// without following a link, and made with `mode` when it is missing and
// `create` is set. Empty on failure, with `error` naming it as `shown`.
UniqueFd walk_element(int current, const std::string& element, const std::string& shown, bool create, mode_t mode,
                      std::string& error) {
  if (element == "..") {
    error = shown + ": \"..\" is not allowed";
    return UniqueFd();
  }
  UniqueFd next = open_directory_at(current, element);
  if (!next && errno == ENOENT && create) {
    next = make_directory_at(current, element, mode);
    // A directory made for records reaches stable storage with its name.
    if (next) ::fsync(current);
    // Another task of this program may have made it meanwhile.
    if (!next && errno == EEXIST) next = open_directory_at(current, element);
  }
  if (!next) {
    const int reason = errno;
    struct stat st {};
    if ((reason == ELOOP || reason == ENOTDIR) && ::fstatat(current, element.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
      error = shown + " is a " + file_type_word(st.st_mode) + ", not a directory";
    } else {
      error = shown + ": " + std::strerror(reason);
    }
  }
  return next;
}

// The walk of open_private_directory (`create`) and open_trusted_directory.
UniqueFd open_checked_directory(const std::string& path, bool create, mode_t mode, std::string& error) {
  if (path.empty() || path.front() != '/') {
    error = "\"" + path + "\" is not an absolute path";
    return UniqueFd();
  }
  const std::vector<std::string> elements = path_elements(path);
  UniqueFd current(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  std::string why;
  if (!current || !only_mine(current.get(), why)) {
    error = "\"/\": " + (current ? why : std::string(std::strerror(errno)));
    return UniqueFd();
  }
  for (std::size_t i = 0; i < elements.size(); ++i) {
    const std::string shown = "\"" + joined(elements, i + 1) + "\"";
    const mode_t wanted = i + 1 == elements.size() ? mode : 0755;
    UniqueFd next = walk_element(current.get(), elements[i], shown, create, wanted, error);
    if (!next) return next;
    if (!only_mine(next.get(), why)) {
      error = shown + ": " + why;
      return UniqueFd();
    }
    current = std::move(next);
  }
  return current;
}

}  // namespace

UniqueFd open_private_directory(const std::string& path, mode_t mode, std::string& error) {
  return open_checked_directory(path, true, mode, error);
}

UniqueFd open_trusted_directory(const std::string& path, std::string& error) {
  return open_checked_directory(path, false, 0, error);
}

std::string describe_entry(const struct stat& st) {
  std::string text = std::string("a ") + file_type_word(st.st_mode) + " owned by uid " + std::to_string(st.st_uid);
  if (S_ISREG(st.st_mode) && st.st_nlink > 1) text += " with " + std::to_string(st.st_nlink) + " names";
  const bool sticky_directory = S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX) != 0;
  if (!S_ISLNK(st.st_mode) && (st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && !sticky_directory) {
    text += " that group or others may write";
  }
  return text;
}

bool own_entry(const struct stat& st, bool directory) {
  if (st.st_uid != ::geteuid()) return false;
  if (directory) {
    const bool sticky = (st.st_mode & S_ISVTX) != 0;
    return S_ISDIR(st.st_mode) && ((st.st_mode & (S_IWGRP | S_IWOTH)) == 0 || sticky);
  }
  return S_ISREG(st.st_mode) && st.st_nlink == 1;
}

namespace {

std::string foreign(const struct stat& st) {
  return describe_entry(st) + ", which another account could have placed; it is neither used nor removed";
}

}  // namespace

bool entry_free_or_own(int at, const std::string& name, bool directory, std::string& error) {
  struct stat st {};
  if (::fstatat(at, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno == ENOENT) return true;
    error = std::strerror(errno);
    return false;
  }
  if (own_entry(st, directory)) return true;
  error = foreign(st);
  return false;
}

UniqueFd claim_directory_at(int at, const std::string& name, mode_t mode, std::string& error, bool* made) {
  if (made != nullptr) *made = false;
  UniqueFd directory = make_directory_at(at, name, mode);
  if (directory) {
    if (made != nullptr) *made = true;
    return directory;
  }
  if (errno != EEXIST) {
    error = std::strerror(errno);
    return UniqueFd();
  }
  // Judged by what was opened, so that nothing can be swapped in between.
  directory = open_directory_at(at, name);
  struct stat st {};
  const int examined =
      directory ? ::fstat(directory.get(), &st) : ::fstatat(at, name.c_str(), &st, AT_SYMLINK_NOFOLLOW);
  if (examined != 0) {
    error = std::strerror(errno);
    return UniqueFd();
  }
  if (!directory || !own_entry(st, true)) {
    error = foreign(st);
    return UniqueFd();
  }
  return directory;
}

UniqueFd create_file_at(int at, const std::string& name, mode_t mode, std::string& error) {
  // The second round follows the removal of a leftover of this user's.
  for (int round = 0; round < 2; ++round) {
    UniqueFd file(::openat(at, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
    if (file) return file;
    if (errno != EEXIST) break;
    if (!entry_free_or_own(at, name, false, error)) return UniqueFd();
    if (::unlinkat(at, name.c_str(), 0) != 0 && errno != ENOENT) break;
  }
  error = std::strerror(errno);
  return UniqueFd();
}

UniqueFd make_directories_at(int at, const std::string& path, mode_t mode, std::string& error) {
  UniqueFd current(::openat(at, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!current) error = std::strerror(errno);
  std::string walked;
  for (const std::string& element : path_elements(path)) {
    if (!current) break;
    walked += (walked.empty() ? "" : "/") + element;
    current = walk_element(current.get(), element, "\"" + walked + "\"", true, mode, error);
  }
  return current;
}

bool write_all(int fd, const std::string& text) {
  std::size_t written = 0;
  while (written < text.size()) {
    const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = ENOSPC;
      return false;
    }
    written += static_cast<std::size_t>(n);
  }
  return true;
}

UniqueFd open_regular_file(int at, const std::string& path, struct stat& st, std::string& why) {
  const auto failed = [&] {
    why = std::strerror(errno);
    return UniqueFd();
  };
  const auto not_regular = [&](mode_t mode) {
    why = not_a_regular_file(mode);
    errno = EINVAL;
    return UniqueFd();
  };
  // The type is looked at before the open: opening a device can act on it,
  // and a FIFO opened without O_NONBLOCK waits for a writer.
  if (::fstatat(at, path.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return failed();
  if (!S_ISREG(st.st_mode)) return not_regular(st.st_mode);
  UniqueFd fd(::openat(at, path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd) return errno == ELOOP ? not_regular(S_IFLNK) : failed();
  // What was opened may have been swapped in after the lstat.
  if (::fstat(fd.get(), &st) != 0) return failed();
  if (!S_ISREG(st.st_mode)) return not_regular(st.st_mode);
  return fd;
}

bool read_regular_file(const std::string& path, std::string& content, std::string& why, int at) {
  struct stat st {};
  return read_regular_file_bounded(at, path, std::numeric_limits<std::size_t>::max() - 1, content, st, why);
}

bool directory_names(int fd, std::vector<std::string>& names) {
  names.clear();
  const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return false;
  DIR* dir = ::fdopendir(copy);
  if (dir == nullptr) {
    const int reason = errno;
    ::close(copy);
    errno = reason;
    return false;
  }
  ::rewinddir(dir);
  errno = 0;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  const int reason = errno;
  ::closedir(dir);
  errno = reason;
  return reason == 0;
}

bool mount_of(int fd, std::uint64_t& out) {
  struct statx st {};
  if (::statx(fd, "", AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW, STATX_MNT_ID, &st) != 0) return false;
  // Without the mount's identifier the device tells file systems apart
  // (though not a bind mount of the same one).
  out = (st.stx_mask & STATX_MNT_ID) != 0 ? st.stx_mnt_id
                                           : (std::uint64_t{st.stx_dev_major} << 32 | st.stx_dev_minor) | (1ULL << 63);
  return true;
}

bool same_mount(int a, int b) {
  std::uint64_t first = 0;
  std::uint64_t second = 0;
  return mount_of(a, first) && mount_of(b, second) && first == second;
}

namespace {

// `mount` is the mount of the tree's top (0 while that is not known yet:
// the top itself).
int remove_below(int at, const std::string& name, dev_t device, std::uint64_t mount, std::string& where) {
  struct stat st {};
  if (::fstatat(at, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno == ENOENT) return 0;
    where = name;
    return errno;
  }
  if (S_ISDIR(st.st_mode)) {
    if (st.st_dev != device) {
      where = name;
      return EXDEV;
    }
    const UniqueFd directory = open_directory_at(at, name);
    std::vector<std::string> names;
    std::uint64_t here = 0;
    if (!directory || !mount_of(directory.get(), here) || !directory_names(directory.get(), names)) {
      where = name;
      return errno;
    }
    // A mount point of the same file system (a bind mount) is no part of
    // the tree either.
    if (mount != 0 && here != mount) {
      where = name;
      return EXDEV;
    }
    for (const std::string& entry : names) {
      std::string below;
      const int failed = remove_below(directory.get(), entry, device, here, below);
      if (failed != 0) {
        where = name + "/" + below;
        return failed;
      }
    }
  }
  if (::unlinkat(at, name.c_str(), S_ISDIR(st.st_mode) ? AT_REMOVEDIR : 0) != 0 && errno != ENOENT) {
    where = name;
    return errno;
  }
  return 0;
}

}  // namespace

int remove_tree_at(int at, const std::string& name, std::string& where) {
  if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..") {
    where = name;
    return EINVAL;
  }
  struct stat st {};
  if (::fstatat(at, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno == ENOENT) return 0;
    where = name;
    return errno;
  }
  return remove_below(at, name, st.st_dev, 0, where);
}

bool rename_to_fresh_name(int from, const std::string& name, int to, const std::string& prefix, std::uint64_t& next,
                          std::string& taken) {
  for (;;) {
    taken = prefix + std::to_string(next++);
    if (::renameat2(from, name.c_str(), to, taken.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EEXIST) return false;
  }
}

int remove_tree_by_path(const std::string& path, std::string& where) {
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  const std::size_t slash = trimmed.rfind('/');
  const std::string parent = slash == std::string::npos ? "." : slash == 0 ? "/" : trimmed.substr(0, slash);
  const std::string name = slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
  const UniqueFd directory = open_directory_nofollow(parent);
  if (!directory) {
    where = parent;
    return errno == ENOENT ? 0 : errno;
  }
  const int failed = remove_tree_at(directory.get(), name, where);
  if (failed != 0) where = (parent == "/" ? "" : parent) + "/" + where;
  return failed;
}

std::string descriptor_path(int fd) {
  return "/proc/" + std::to_string(::getpid()) + "/fd/" + std::to_string(fd);
}

std::string not_a_regular_file(mode_t mode) {
  return std::string("a ") + file_type_word(mode) + ", not a regular file";
}

const char* file_type_word(mode_t mode) {
  if (S_ISDIR(mode)) return "directory";
  if (S_ISLNK(mode)) return "symbolic link";
  if (S_ISFIFO(mode)) return "FIFO";
  if (S_ISSOCK(mode)) return "socket";
  if (S_ISCHR(mode)) return "character device";
  if (S_ISBLK(mode)) return "block device";
  return "regular file";
}

bool read_regular_file_bounded(int at, const std::string& path, std::size_t limit, std::string& content,
                               struct stat& st, std::string& why) {
  const UniqueFd fd = open_regular_file(at, path, st, why);
  if (!fd) return false;
  const auto too_large = [&](std::uint64_t size) {
    why = "a regular file of " + std::to_string(size) + " bytes, more than the " + std::to_string(limit) +
          " bytes that are read of it";
    errno = EFBIG;
    return false;
  };
  if (st.st_size < 0 || static_cast<std::uint64_t>(st.st_size) > limit) {
    return too_large(static_cast<std::uint64_t>(st.st_size));
  }
  std::string read;
  char buffer[8192];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      why = std::strerror(errno);
      return false;
    }
    if (n == 0) break;
    read.append(buffer, static_cast<std::size_t>(n));
    // Past the bound: the file grew after the fstat.
    if (read.size() > limit) {
      struct stat now {};
      const bool known = ::fstat(fd.get(), &now) == 0 && static_cast<std::uint64_t>(now.st_size) > read.size();
      return too_large(known ? static_cast<std::uint64_t>(now.st_size) : read.size());
    }
  }
  content = std::move(read);
  return true;
}

}  // namespace hx_utils_common
