// Working by directory descriptor where other accounts can write.
//
// The program runs as root in directories that other accounts control (the
// server's data directory and WAL archive, a shared temporary directory). A
// path looked up by name there can be redirected between two calls by a link
// planted or swapped into any of its elements. These helpers open every
// element of a path without following links and hand back descriptors, so
// that later work is done relative to the very directories that were opened
// and checked (openat, mkdirat, renameat2, unlinkat, fstatat).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>

namespace hx_utils_common {

// A file descriptor that is closed when the object goes; -1 when empty.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd();
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  explicit operator bool() const { return valid(); }
  // Gives the descriptor up without closing it.
  int release();
  // Closes the held descriptor (keeping errno) and holds `fd` instead.
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

// Opens the directory `name` (a single path element, no "/") of the
// directory `at` without following a link: O_DIRECTORY|O_NOFOLLOW, close on
// exec. Empty with errno set when it fails (ELOOP or ENOTDIR for a link,
// ENOTDIR for anything else that is not a directory).
UniqueFd open_directory_at(int at, const std::string& name);

// Opens the directory `path` element by element, never following a link in
// any element: an absolute path from "/", a relative one from `at`. "." and
// empty elements are skipped; ".." is refused (EINVAL), so the result always
// lies below where the walk began. Empty with errno set when an element is
// missing (ENOENT), a link or no directory (ELOOP, ENOTDIR).
UniqueFd open_directory_nofollow(const std::string& path, int at = AT_FDCWD);

// Makes the directory `name` in the directory `at` (mkdirat: never through a
// link, never one that exists) with `mode`, and opens it; what was opened is
// checked to be the very directory made (this user's, made without
// permission bits, empty) before it gets its mode. Empty with errno set when
// it cannot be made or opened (EEXIST when anything lies at the name, also
// when another directory was put at the name after it was made).
UniqueFd make_directory_at(int at, const std::string& name, mode_t mode);

// The mount the descriptor lies on: its mount identifier where the kernel
// gives one, else its device. False with errno set when it cannot be read.
bool mount_of(int fd, std::uint64_t& out);

// True when both descriptors lie on the same mount (false when either
// cannot be examined).
bool same_mount(int a, int b);

// True when the descriptor names something that only this process's user
// can change: owned by it, and writable by group or others only when it is a
// directory with the sticky bit (such as /tmp), where others cannot rename or
// remove what this user owns. `why` receives the reason otherwise.
bool only_mine(int fd, std::string& why);

// Opens a directory of the program's own at the absolute `path`, which no
// other account may be able to change: every element from "/" is opened
// without following links and must satisfy only_mine; missing elements are
// made (mode 0755, the last one `mode`) and checked the same way. Empty on
// failure, with `error` naming the element and the reason.
UniqueFd open_private_directory(const std::string& path, mode_t mode, std::string& error);

// Opens an existing directory at the absolute `path` in which no other
// account can rename, replace or remove what this process's user makes:
// every element from "/" is opened without following links and must satisfy
// only_mine. Nothing is made. Empty on failure, with `error` naming the
// element and the reason.
UniqueFd open_trusted_directory(const std::string& path, std::string& error);

// Opens the regular file `path` (relative to `at` unless absolute) for
// reading without following a link in its last element and without ever
// blocking: a link, FIFO, device, socket or directory planted at the name
// is refused after an lstat, before it is opened, and the opened file is
// checked again with fstat, whose result `st` receives. Empty on failure,
// with `why` saying what lies there ("a FIFO, not a regular file"; errno
// EINVAL) or why it could not be opened (strerror; errno kept).
UniqueFd open_regular_file(int at, const std::string& path, struct stat& st, std::string& why);

// Reads the whole regular file `path` (relative to `at` unless absolute),
// opened as open_regular_file does. False with `why` (and errno) as
// open_regular_file gives them, or the reason a read failed.
bool read_regular_file(const std::string& path, std::string& content, std::string& why, int at = AT_FDCWD);

// For messages: the type and owner of what a stat result shows, and what
// lets another account change it: "a symbolic link owned by uid 1000", "a
// regular file owned by uid 0 with 2 names", "a directory owned by uid 0
// that group or others may write".
std::string describe_entry(const struct stat& st);

// True when a stat result shows something this process's user made, whose
// place no other account can take: owned by it; a directory (writable by
// group or others only when it is sticky) when `directory` is true,
// otherwise a regular file with a single name (another name could lie
// anywhere).
bool own_entry(const struct stat& st, bool directory);

// True when nothing lies at `name` in the directory `at` (links not
// followed), or something this process's user made (own_entry). False
// otherwise, with `error` describing what lies there (see claim_directory_at).
bool entry_free_or_own(int at, const std::string& name, bool directory, std::string& error);

// Makes the directory `name` in the directory `at` with `mode` (mkdirat:
// never through a link), or opens the one this process's user made there
// before (own_entry); `made` (when given) tells which. Empty when anything
// else lies there, with `error` saying what ("a symbolic link owned by uid
// 1000, which another account could have placed; it is neither used nor
// removed"), or when it cannot be made or opened (`error` the reason).
UniqueFd claim_directory_at(int at, const std::string& name, mode_t mode, std::string& error,
                            bool* made = nullptr);

// Creates the regular file `name` in the directory `at` afresh and opens it
// for writing: exclusively and never through a link (O_CREAT|O_EXCL|
// O_NOFOLLOW), with `mode` under the umask. A file this process's user made
// there before (own_entry) is removed first; anything else is neither used
// nor removed: empty, with `error` as for claim_directory_at.
UniqueFd create_file_at(int at, const std::string& name, mode_t mode, std::string& error);

// Opens the directory `path` (relative) below the directory `at` element by
// element, never following a link (as open_directory_nofollow, ".." refused),
// and makes each missing element with `mode` (mkdirat). The result lies
// below `at` whatever the elements on the way are. Empty on failure, with
// `error` naming the element (its path below `at`) and the reason.
UniqueFd make_directories_at(int at, const std::string& path, mode_t mode, std::string& error);

// Writes all of `text` to `fd`, going on after an interrupted or partial
// write. False (errno set) when not all of it could be written.
bool write_all(int fd, const std::string& text);

// The names in the directory `fd` ("." and ".." left out), in the order
// the directory gives them. False with errno set when it cannot be read.
bool directory_names(int fd, std::vector<std::string>& names);

// Removes `name` of the directory `at` with everything below it, never
// following a link and never descending into another file system or mount
// (a bind mount of the same file system included). Returns
// 0 (also when nothing lies at the name) or the errno of the first entry
// that could not be removed (EXDEV for a mount point below), whose path
// relative to `at` goes into `where`.
int remove_tree_at(int at, const std::string& name, std::string& where);

// Renames `name` of the directory `from` into the directory `to` under a
// name no entry there has: `prefix` and a number, counted up from `next`
// (RENAME_NOREPLACE: nothing is ever replaced); `taken` receives the name.
// Used to take an entry into a directory no other account can change, where
// the entry examined is the one acted on. False with errno set otherwise
// (ENOENT when nothing lies at the name, EBUSY for a mount point).
bool rename_to_fresh_name(int from, const std::string& name, int to, const std::string& prefix, std::uint64_t& next,
                          std::string& taken);

// remove_tree_at for the absolute or relative `path`: its parent is opened
// without following a link in any element. `where` receives the path of
// the entry that could not be removed.
int remove_tree_by_path(const std::string& path, std::string& where);

// A path by which an outside program reaches the very file the descriptor
// names, whatever happens to its names meanwhile: "/proc/<pid>/fd/<fd>" of
// this process (for programs run while the descriptor is open; the kernel
// resolves it to the opened file, not by name).
std::string descriptor_path(int fd);

// The file type of a stat result as a word for messages: "directory",
// "symbolic link", "FIFO", "socket", "character device", "block device",
// "regular file".
const char* file_type_word(mode_t mode);

// What lies at a name that must be a regular file: "a FIFO, not a regular
// file" (file_type_word of the mode).
std::string not_a_regular_file(mode_t mode);

// Reads the regular file `path` (relative to `at` unless absolute), opened
// as open_regular_file does (its fstat result into `st`), when it holds at
// most `limit` bytes, and never reads more than that: a larger file, by its
// size on the descriptor or by what a read finds past the bound (it grew
// meanwhile), is refused, with errno EFBIG and `why` "a regular file of
// <size> bytes, more than the <limit> bytes that are read of it". Otherwise false with `why` (and errno)
// as open_regular_file gives them, or the reason a read failed.
bool read_regular_file_bounded(int at, const std::string& path, std::size_t limit, std::string& content,
                               struct stat& st, std::string& why);

}  // namespace hx_utils_common
