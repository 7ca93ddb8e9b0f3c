// Working by directory descriptor (see descriptors.h).
#include "utils/descriptors.h"

#include <cerrno>
#include <cstring>
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
  if (::mkdirat(at, name.c_str(), mode) != 0) return UniqueFd();
  UniqueFd made = open_directory_at(at, name);
  // The umask may have taken bits away; the directory gets the mode asked for.
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
    const std::string& element = elements[i];
    const std::string shown = "\"" + joined(elements, i + 1) + "\"";
    if (element == "..") {
      error = shown + ": \"..\" is not allowed";
      return UniqueFd();
    }
    const mode_t wanted = i + 1 == elements.size() ? mode : 0755;
    UniqueFd next = open_directory_at(current.get(), element);
    if (!next && errno == ENOENT && create) {
      next = make_directory_at(current.get(), element, wanted);
      // Another task of this program may have made it meanwhile.
      if (!next && errno == EEXIST) next = open_directory_at(current.get(), element);
    }
    if (!next) {
      const int reason = errno;
      struct stat st {};
      if ((reason == ELOOP || reason == ENOTDIR) &&
          ::fstatat(current.get(), element.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        error = shown + " is a " + file_type_word(st.st_mode) + ", not a directory";
      } else {
        error = shown + ": " + std::strerror(reason);
      }
      return UniqueFd();
    }
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

namespace {

int remove_below(int at, const std::string& name, dev_t device, std::string& where) {
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
    if (!directory || !directory_names(directory.get(), names)) {
      where = name;
      return errno;
    }
    for (const std::string& entry : names) {
      std::string below;
      const int failed = remove_below(directory.get(), entry, device, below);
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
  return remove_below(at, name, st.st_dev, where);
}

std::string descriptor_path(int fd) {
  return "/proc/" + std::to_string(::getpid()) + "/fd/" + std::to_string(fd);
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

}  // namespace hx_utils_common
