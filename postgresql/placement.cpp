// Setting a destination's own entries aside, filling it with restored ones,
// and undoing or finishing that, also after the process was killed half way.
//
// The task directory T inside a destination holds:
//   root, source  the restore root and the restored tree of the deployment
//   created       present when the deployment made the destination
//   old/          the destination's own entries, set aside
//   filling       present once every own entry is in old/: from then on the
//                 entries of the destination (but T) are restored ones
//   incoming/     copies of restored entries on their way in
//   complete      (data directory only) every destination has been filled
// Every step is a copy into incoming/, a rename on one file system or the
// making or removal of a mark, so a kill at any moment leaves each entry whole
// in a place that T describes: without the mark of completion the same
// restore run again puts the own entries back first, with it it removes them.
#include "postgresql/placement.h"

#include "postgresql/hx_postgresql_common.h"
#include "utils/hx_utils_common.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = boost::filesystem;

namespace hx_postgresql_common {
namespace placement {

const char* const kTaskDirectory = ".hx_restore_deployment";

namespace {

// Sources copied by one cp run.
const std::size_t kCopyBatch = 256;

const std::string kNewTaskDirectory = std::string(kTaskDirectory) + ".new";
const std::string kBackDirectory = std::string(kTaskDirectory) + ".back";

[[noreturn]] void fail(const std::string& what, const fs::path& path, int error) {
  throw std::runtime_error(what + " " + path_text(path) + " (" + std::strerror(error) + ")");
}

bool is_task_name(const std::string& name) {
  return name == kTaskDirectory || name == kNewTaskDirectory || name == kBackDirectory;
}

// The entries of a directory, by name, without the task directories (unless
// `all`) and the skipped ones.
std::vector<std::string> entries(const fs::path& directory, const std::set<std::string>& skipped = {},
                                 bool all = false) {
  std::vector<std::string> out;
  for (fs::directory_iterator it(directory), end; it != end; ++it) {
    const std::string name = it->path().filename().string();
    if ((!all && is_task_name(name)) || skipped.count(name) != 0) continue;
    out.push_back(name);
  }
  std::sort(out.begin(), out.end());
  return out;
}

// A rename that never replaces what lies at the new name.
void move(const fs::path& from, const fs::path& to) {
  int done = ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE);
  // A file system without the flag: nothing may lie at the new name.
  if (done != 0 && (errno == EINVAL || errno == ENOSYS)) {
    done = lexists(to) ? (errno = EEXIST, -1) : ::rename(from.c_str(), to.c_str());
  }
  if (done != 0) {
    const int error = errno;
    throw std::runtime_error("can't move " + path_text(from) + " to " + path_text(to) + " (" + std::strerror(error) +
                             ")");
  }
}

void make_directory(const fs::path& path) {
  if (::mkdir(path.c_str(), 0700) != 0) fail("can't create", path, errno);
}

// A new file of the task directory with the given text.
void write_record(const fs::path& path, const std::string& text) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) fail("can't create", path, errno);
  const ssize_t written = ::write(fd, text.data(), text.size());
  const int error = errno;
  ::close(fd);
  if (written != static_cast<ssize_t>(text.size())) fail("can't write", path, written < 0 ? error : ENOSPC);
}

std::string read_record(const fs::path& path) {
  std::ifstream in(path.string(), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Copies entries of one directory (cp -a: modes, owners, times and links
// kept) into another; throws with cp's output when it fails.
void copy_into(const fs::path& directory, const std::vector<fs::path>& sources) {
  for (std::size_t begin = 0; begin < sources.size(); begin += kCopyBatch) {
    std::vector<std::string> args = {"cp", "-a", "-t", directory.string(), "--"};
    const std::size_t end = std::min(sources.size(), begin + kCopyBatch);
    for (std::size_t i = begin; i < end; ++i) args.push_back(sources[i].string());
    std::string output;
    if (hx_utils_common::run_program(args, &output) != 0) {
      while (!output.empty() && output.back() == '\n') output.pop_back();
      throw std::runtime_error("can't copy " + path_text(sources[begin]) +
                               (end - begin > 1 ? " and further entries" : "") + " to " + path_text(directory) + ": " +
                               output);
    }
  }
}

void remove_below(const fs::path& path, dev_t device) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return;
    fail("can't remove", path, errno);
  }
  if (S_ISDIR(st.st_mode)) {
    if (st.st_dev != device) fail("can't remove", path, EXDEV);
    for (const std::string& name : entries(path, {}, true)) remove_below(path / name, device);
    if (::rmdir(path.c_str()) != 0) fail("can't remove", path, errno);
  } else if (::unlink(path.c_str()) != 0) {
    fail("can't remove", path, errno);
  }
}

dev_t device_of(const fs::path& path, bool follow) {
  struct stat st {};
  if ((follow ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st)) != 0) fail("can't examine", path, errno);
  return st.st_dev;
}

void size_below(const fs::path& path, std::uint64_t block, std::uint64_t& bytes, std::uint64_t& count) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) fail("can't examine", path, errno);
  if (++count % 256 == 0) hx_utils_common::abort_point();
  if (S_ISREG(st.st_mode)) {
    const std::uint64_t used =
        std::min<std::uint64_t>(static_cast<std::uint64_t>(st.st_size), static_cast<std::uint64_t>(st.st_blocks) * 512);
    bytes += (used + block - 1) / block * block;
    return;
  }
  bytes += block;
  if (!S_ISDIR(st.st_mode)) return;
  for (fs::directory_iterator it(path), end; it != end; ++it) size_below(it->path(), block, bytes, count);
}

}  // namespace

std::string path_text(const fs::path& path) {
  std::ostringstream out;
  out << path;
  return out.str();
}

bool lexists(const fs::path& path, struct stat* st) {
  struct stat local {};
  return ::lstat(path.c_str(), st != nullptr ? st : &local) == 0;
}

fs::path task_directory(const Placement& placement) { return placement.target / kTaskDirectory; }

bool interrupted(const Placement& placement, std::string& root) {
  struct stat st {};
  if (::lstat(task_directory(placement).c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  root = read_record(task_directory(placement) / "root");
  return true;
}

bool completed(const Placement& placement) { return lexists(task_directory(placement) / "complete"); }

bool crosses_file_systems(const Placement& placement) {
  if (placement.source.empty()) return false;
  const dev_t source = device_of(placement.source, false);
  const dev_t target =
      lexists(placement.target) ? device_of(placement.target, false) : device_of(placement.target.parent_path(), true);
  return source != target;
}

void tree_size(const Placement& placement, std::uint64_t block, std::uint64_t& bytes, std::uint64_t& count) {
  if (placement.source.empty()) return;
  for (const std::string& name : entries(placement.source, placement.skipped)) {
    size_below(placement.source / name, block, bytes, count);
  }
}

bool prepare(const Placement& placement, const std::string& root) {
  bool made = false;
  if (!lexists(placement.target)) {
    struct stat source {};
    if (placement.source.empty() || ::lstat(placement.source.c_str(), &source) != 0 || !S_ISDIR(source.st_mode)) {
      source.st_mode = S_IFDIR | 0700;
      source.st_uid = 0;
      source.st_gid = 0;
    }
    make_directory(placement.target);
    made = true;
    if (!hand_over(placement.target, owner_t(source.st_uid, source.st_gid), static_cast<int>(source.st_mode & 07777))) {
      fail("can't hand over", placement.target, errno);
    }
  }
  const fs::path fresh = placement.target / kNewTaskDirectory;
  remove_tree(fresh);
  make_directory(fresh);
  write_record(fresh / "root", root);
  write_record(fresh / "source", placement.source.string());
  if (made) write_record(fresh / "created", "");
  move(fresh, task_directory(placement));
  return made;
}

void set_aside(const Placement& placement) {
  const fs::path old = task_directory(placement) / "old";
  make_directory(old);
  for (const std::string& name : entries(placement.target, placement.skipped)) {
    move(placement.target / name, old / name);
  }
  write_record(task_directory(placement) / "filling", "");
}

void fill(const Placement& placement) {
  if (placement.source.empty()) return;
  const std::vector<std::string> names = entries(placement.source, placement.skipped);
  if (!crosses_file_systems(placement)) {
    for (const std::string& name : names) move(placement.source / name, placement.target / name);
    return;
  }
  const fs::path incoming = task_directory(placement) / "incoming";
  make_directory(incoming);
  for (std::size_t begin = 0; begin < names.size(); begin += kCopyBatch) {
    const std::size_t end = std::min(names.size(), begin + kCopyBatch);
    std::vector<fs::path> sources;
    for (std::size_t i = begin; i < end; ++i) sources.push_back(placement.source / names[i]);
    copy_into(incoming, sources);
    for (std::size_t i = begin; i < end; ++i) move(incoming / names[i], placement.target / names[i]);
  }
}

void mark_completed(const Placement& placement) { write_record(task_directory(placement) / "complete", ""); }

void finish(const Placement& placement) {
  // The set-aside entries go before the marks: a kill meanwhile leaves the
  // mark of completion, by which the same restore run again finishes.
  const fs::path task = task_directory(placement);
  remove_tree(task / "old");
  remove_tree(task / "incoming");
  for (const char* mark : {"created", "filling", "complete"}) remove_tree(task / mark);
  remove_tree(task);
}

void roll_back(const Placement& placement) {
  const fs::path task = task_directory(placement);
  if (!lexists(task)) return;
  const fs::path source = read_record(task / "source");
  if (lexists(task / "filling")) {
    if (!source.empty()) {
      fs::create_directories(source);
      const fs::path back = source / kBackDirectory;
      remove_tree(back);
      Placement recorded = placement;
      recorded.source = source;
      const bool crosses = crosses_file_systems(recorded);
      for (const std::string& name : entries(placement.target, placement.skipped)) {
        const fs::path from = placement.target / name;
        const fs::path to = source / name;
        if (crosses) {
          // A copy: the source kept the entry. One that went missing there
          // is copied back first.
          if (!lexists(to)) {
            make_directory(back);
            copy_into(back, {from});
            move(back / name, to);
            remove_tree(back);
          }
          remove_tree(from);
        } else {
          // Renamed out of the source: it goes back, in place of what a later
          // run may have put there meanwhile.
          remove_tree(to);
          move(from, to);
        }
      }
    }
    remove_tree(task / "incoming");
    if (::unlink((task / "filling").c_str()) != 0) fail("can't remove", task / "filling", errno);
  }
  const fs::path old = task / "old";
  if (lexists(old)) {
    for (const std::string& name : entries(old)) move(old / name, placement.target / name);
  }
  const bool made = lexists(task / "created");
  remove_tree(task);
  if (made && ::rmdir(placement.target.c_str()) != 0) fail("can't remove", placement.target, errno);
}

void remove_tree(const fs::path& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return;
    fail("can't remove", path, errno);
  }
  remove_below(path, st.st_dev);
}

}  // namespace placement
}  // namespace hx_postgresql_common
