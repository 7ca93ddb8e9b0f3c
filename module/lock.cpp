// The per-resource lock.
//
// The lock is a Boost.Interprocess named mutex whose name exists while a task
// holds the resource. Beside it lies an owner file that the holding process
// keeps locked with flock(); the kernel drops that lock when the process ends
// in any way, SIGKILL and crashes included. So a name found while nobody
// holds the owner file's lock was left behind by a dead task, and it is taken
// over; while a live task holds the owner lock, every other task is refused,
// whatever state the name is in.
//
// Owner files lie in a directory of the program's own that only root may
// write, made and checked without following links, so no other account can
// plant anything at their names. The mutex name itself must stay in /dev/shm,
// which every user may write: what is found there is taken over only when it
// is a plain file of this process's user, as a dead task leaves it; anything
// else is reported with its path, type and owner and refuses the task.
#include "module/hx_modules_common.h"
#include "module/resource_lock.h"

#include "crypto/hmac.h"
#include "crypto/sha256.h"
#include "log/hx_logger.h"
#include "utils/hx_secrets.h"

#include <boost/filesystem.hpp>
#include <boost/interprocess/exceptions.hpp>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <sstream>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace hx_resource_lock {

std::string digest_text(const unsigned char* mac) {
  std::ostringstream text;
  text << std::hex;
  for (int i = 0; i < 8; ++i) text << static_cast<unsigned int>(mac[i]);
  return text.str();
}

std::string resource_digest_text(const std::string& resource) {
  cppcrypto::sha256 hash;
  cppcrypto::hmac mac(hash, hx_utils_common::server::mac_key());
  unsigned char digest[32];
  mac.hash_string(resource, digest);
  return digest_text(digest);
}

std::string lock_name(const std::string& program_path, const std::string& resource) {
  return "Halvex_MOD_mutex_" + boost::filesystem::path(program_path).filename().string() + "_" +
         resource_digest_text(resource);
}

std::string owner_file_name(const std::string& name) { return name + ".owner"; }

std::string semaphore_path(const std::string& name) { return "/dev/shm/sem." + name; }

}  // namespace hx_resource_lock

namespace {

using hx_utils_common::UniqueFd;

enum class Owner { Unknown, Alone, HeldElsewhere };

// An owner file of this task's kind: a regular file of this process's user
// with a single name.
bool is_owner_file(const struct stat& st) {
  return S_ISREG(st.st_mode) && st.st_uid == ::geteuid() && st.st_nlink == 1;
}

bool same_file(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Removes what lies at `name` in `directory` when it is not an owner file;
// true when something was removed.
bool remove_planted(int directory, const std::string& name, const struct stat* opened) {
  struct stat named;
  if (::fstatat(directory, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0) return false;
  const bool same = opened == nullptr || same_file(*opened, named);
  return !is_owner_file(named) && same && ::unlinkat(directory, name.c_str(), 0) == 0;
}

// The owner file `name` in `directory`, opened for reading and writing
// (created when missing), or -1 with errno set.
int open_owner_file(int directory, const std::string& name) {
  for (int attempt = 0; attempt < 16; ++attempt) {
    const int fd = ::openat(directory, name.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0) {
      const int reason = errno;
      if (remove_planted(directory, name, nullptr)) continue;
      errno = reason;
      return -1;
    }
    struct stat opened;
    if (::fstat(fd, &opened) == 0 && is_owner_file(opened)) return fd;
    ::close(fd);
    if (!remove_planted(directory, name, &opened)) {
      errno = EEXIST;
      return -1;
    }
  }
  return -1;
}

// Opens the owner file and tries to take its flock without waiting. Alone:
// this process now holds it (fd kept), so no live task holds the resource;
// HeldElsewhere: a live process holds it; Unknown: the file cannot be
// opened (errno says why), so liveness cannot be told.
//
// The holder removes the owner file before it lets the flock go, so a lock
// won on a file that the name no longer names proves nothing: that file is
// dropped and the current one tried.
Owner take_owner_lock(int directory, const std::string& name, int& fd) {
  fd = -1;
  for (int attempt = 0; attempt < 16; ++attempt) {
    const int candidate = open_owner_file(directory, name);
    if (candidate < 0) return Owner::Unknown;
    if (::flock(candidate, LOCK_EX | LOCK_NB) != 0) {
      ::close(candidate);
      return Owner::HeldElsewhere;
    }
    struct stat held, named;
    if (::fstat(candidate, &held) == 0 && ::fstatat(directory, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        same_file(held, named)) {
      fd = candidate;
      return Owner::Alone;
    }
    ::close(candidate);
  }
  return Owner::HeldElsewhere;
}

// The text of a refusal for an owner file of `directory` that cannot be
// had: the directory's own fault, or the file's.
std::string owner_file_problem(const std::string& directory, const std::string& name, int reason) {
  return "its file " + directory + "/" + name + " cannot be opened (" + std::strerror(reason) + ")";
}

}  // namespace

hx_module_mutex::hx_module_mutex(std::string name, std::string owner_directory)
    : created_(false), name_(std::move(name)) {
  using namespace boost::interprocess;
  std::string error;
  owner_directory_ = hx_utils_common::open_private_directory(owner_directory, 0700, error);
  Owner owner = Owner::Unknown;
  if (!owner_directory_) {
    refusal_ = "the lock directory cannot be used: " + error;
  } else {
    const std::string file = hx_resource_lock::owner_file_name(name_);
    owner = take_owner_lock(owner_directory_.get(), file, owner_fd_);
    if (owner == Owner::Unknown) refusal_ = "the lock's " + owner_file_problem(owner_directory, file, errno);
  }
  // Without an owner file whether a task holds the name cannot be told.
  if (owner == Owner::Unknown) return;
  try {
    if (owner == Owner::HeldElsewhere) {
      // A live task holds the resource. The name is left untouched
      // (creating it, even for a moment, could disturb the holder's own
      // removal and creation), and the task is refused as a create-only
      // step on an existing name would refuse it.
      throw interprocess_exception(error_info(EEXIST));
    }
    try {
      mutex_.reset(new named_mutex(create_only, name_.c_str(), permissions()));
      created_ = true;
    } catch (const interprocess_exception&) {
      // The name exists but no live process holds the owner lock: a task
      // ended without releasing it, and left a plain file of root's. Any
      // other thing at the name is not this module's and stays.
      const std::string path = hx_resource_lock::semaphore_path(name_);
      struct stat found {};
      if (::lstat(path.c_str(), &found) == 0 && !is_owner_file(found)) {
        refusal_ = "the lock name " + path + " is taken by " + hx_utils_common::describe_entry(found) +
                   ", which is not this module's lock; remove it, then run the task again";
        throw;
      }
      named_mutex::remove(name_.c_str());
      mutex_.reset(new named_mutex(create_only, name_.c_str(), permissions()));
      created_ = true;
      HxLogStream(HxLogLvl::Warning) << "Taking over the lock '" << name_
                                     << "' left behind by a task that is no longer running" << std::endl;
    }
  } catch (const interprocess_exception& e) {
    std::cerr << "pg_mutex: can't create mutex: " << e.what() << std::endl;
  } catch (...) {
    // GCOVR_EXCL_START: named_mutex throws interprocess_exception only; this is for std::bad_alloc
    std::cerr << "pg_mutex: error" << std::endl;
  }  // GCOVR_EXCL_STOP
  if (!created_ && owner_fd_ >= 0) {
    // Refused although no task holds the name: the owner file it holds goes
    // (before its flock, as a holder's does).
    ::unlinkat(owner_directory_.get(), hx_resource_lock::owner_file_name(name_).c_str(), 0);
    ::close(owner_fd_);
    owner_fd_ = -1;
  }
}

hx_module_mutex::~hx_module_mutex() {
  // Order matters: the name goes first, then the owner file, and only then
  // the flock, so a task that wins the flock finds neither left over.
  if (created_) boost::interprocess::named_mutex::remove(name_.c_str());
  if (owner_fd_ >= 0) {
    ::unlinkat(owner_directory_.get(), hx_resource_lock::owner_file_name(name_).c_str(), 0);
    ::close(owner_fd_);
  }
}

bool hx_module_mutex::is_created() const { return created_; }

boost::shared_ptr<boost::interprocess::named_mutex> hx_module_mutex::get() const { return mutex_; }

hx_owner_lock::~hx_owner_lock() { unlock(); }

bool hx_owner_lock::try_lock(const std::string& directory, const std::string& name, const std::string& description,
                             std::string& holder) {
  unlock();
  holder.clear();
  unavailable_ = false;
  problem_.clear();
  std::string error;
  UniqueFd opened = hx_utils_common::open_private_directory(directory, 0700, error);
  if (!opened) {
    unavailable_ = true;
    problem_ = "its directory cannot be used: " + error;
    return false;
  }
  int fd = -1;
  switch (take_owner_lock(opened.get(), name, fd)) {
    case Owner::Alone:
      break;
    case Owner::HeldElsewhere: {
      // The holder's description, read without following a link.
      const int reader = ::openat(opened.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
      if (reader >= 0) {
        char text[512];
        const ssize_t got = ::read(reader, text, sizeof(text));
        if (got > 0) holder.assign(text, static_cast<std::size_t>(got));
        ::close(reader);
      }
      return false;
    }
    case Owner::Unknown:
      unavailable_ = true;
      problem_ = owner_file_problem(directory, name, errno);
      return false;
  }
  // The description replaces whatever an earlier holder left in the file.
  if (::ftruncate(fd, 0) == 0) {
    const ssize_t written = ::pwrite(fd, description.data(), description.size(), 0);
    (void)written;  // a description that could not be written only makes a refusal less precise
  }
  fd_ = fd;
  directory_ = std::move(opened);
  name_ = name;
  return true;
}

void hx_owner_lock::unlock() {
  if (fd_ < 0) return;
  // The file goes before the flock, so a task that wins the flock finds no
  // leftover (see take_owner_lock).
  ::unlinkat(directory_.get(), name_.c_str(), 0);
  ::close(fd_);
  fd_ = -1;
  directory_.reset();
  name_.clear();
}

bool HxModuleUniversal::lock_target(const std::string& key, const std::string& what) {
  // Every spelling of a path (links, "..", a trailing "/") takes one lock.
  boost::system::error_code ec;
  boost::filesystem::path resolved = boost::filesystem::weakly_canonical(key, ec);
  if (ec) resolved = boost::filesystem::path(key).lexically_normal();
  const std::string name = "Halvex_MOD_target_" + boost::filesystem::path(options_.program_path).filename().string() +
                           "_" + hx_resource_lock::resource_digest_text(resolved.string()) + ".owner";

  std::string task;
  switch (options_.mode) {
    case HxModuleMode::Backup:
    case HxModuleMode::BackupList:
      task = "a backup of the resource '" + options_.resource + "'";
      break;
    case HxModuleMode::CreateReplica:
      task = "a replica of the resource '" + options_.resource + "'";
      break;
    case HxModuleMode::Restore:
      task = "a restore of the record '" + options_.record_id + "'";
      break;
    case HxModuleMode::ApplyReplica:
      task = "an apply of the replica '" + options_.record_id + "'";
      break;
    default:
      task = "a task";
      break;
  }
  const std::string description = "PID " + std::to_string(getpid()) + ", " + task;

  auto lock = std::make_unique<hx_owner_lock>();
  std::string holder;
  if (lock->try_lock(module_state_directory(options_.program_path), name, description, holder)) {
    target_locks_.push_back(std::move(lock));
    return true;
  }
  if (lock->unavailable()) {
    // No owner file to be had: whether another task works on it cannot be told.
    HxLogStream(HxLogLvl::Error) << "Can't run the task: the lock of " << what << " cannot be taken: "
                                 << lock->problem() << std::endl;
    return false;
  }
  HxLogStream(HxLogLvl::Error) << "Can't run the task: " << what << " is in use by another task of this module ("
                               << (holder.empty() ? std::string("its process could not be named") : holder)
                               << "). Run it again when that task has ended" << std::endl;
  return false;
}

bool HxModuleUniversal::lock_resource_handling(const std::string& resource) {
  try {
    const std::string name = hx_resource_lock::lock_name(options_.program_path, resource);
    // A lock this task already holds is let go first, so taking the same
    // resource again does not refuse itself.
    resource_mutex_.reset();
    resource_mutex_ = std::make_unique<hx_module_mutex>(name, module_state_directory(options_.program_path));
    if (!resource_mutex_->refusal().empty()) {
      // Not another task: something that keeps this one from having its lock.
      HxLogStream(HxLogLvl::Error) << "Can't run the task on the resource '" << resource
                                   << "': " << resource_mutex_->refusal() << std::endl;
      return false;
    }
    if (!resource_mutex_->is_created() || !resource_mutex_->get()->try_lock()) {
      HxLogStream(HxLogLvl::Info) << "Can't run more than one task on the resource: '" << resource
                                  << "' at the same time" << std::endl;
      return false;
    }
    return true;
  } catch (const boost::interprocess::interprocess_exception& e) {
    // GCOVR_EXCL_START: hx_module_mutex catches its own; try_lock on the mutex just created fails only with false
    HxLogStream(HxLogLvl::Error) << "bool HxModuleUniversal::lock_resource_handling(const string&)"
                                 << ": can't create mutex: " << e.what() << std::endl;
    return false;
  }  // GCOVR_EXCL_STOP
}

void HxModuleUniversal::unlock_resource_handling() {
  resource_mutex_.reset();
  // The locks of what the task works on go with it (an abort ends the
  // program without destructors: their owner files would be left behind).
  target_locks_.clear();
}
