// The per-resource lock.
//
// The lock is a Boost.Interprocess named mutex whose name exists while a task
// holds the resource. Beside it lies an owner file in /dev/shm that the
// holding process keeps locked with flock(); the kernel drops that lock when
// the process ends in any way, SIGKILL and crashes included. A name found
// while nobody holds the owner file's lock was left behind by a dead task and
// is taken over.
#include "module/hx_modules_common.h"

#include "crypto/hmac.h"
#include "crypto/sha256.h"
#include "log/hx_logger.h"
#include "utils/hx_secrets.h"

#include <boost/filesystem.hpp>
#include <boost/interprocess/exceptions.hpp>

#include <cstdio>
#include <iostream>
#include <sstream>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

// First eight bytes of HMAC-SHA-256 of the resource, each in hex without leading zeros.
std::string lock_digest_text(const std::string& resource) {
  cppcrypto::sha256 hash;
  cppcrypto::hmac mac(hash, hx_utils_common::server::mac_key());
  unsigned char digest[32];
  mac.hash_string(resource, digest);
  std::ostringstream text;
  text << std::hex;
  for (int i = 0; i < 8; ++i) text << static_cast<unsigned int>(digest[i]);
  return text.str();
}

std::string owner_file_path(const std::string& name) { return "/dev/shm/" + name + ".owner"; }

}  // namespace

hx_module_mutex::hx_module_mutex(std::string name) : created_(false), name_(std::move(name)) {
  using namespace boost::interprocess;
  // Liveness first: whoever holds the owner file's lock is a live task on this resource.
  bool alone = false;
  owner_fd_ = ::open(owner_file_path(name_).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (owner_fd_ >= 0) alone = ::flock(owner_fd_, LOCK_EX | LOCK_NB) == 0;
  try {
    try {
      mutex_.reset(new named_mutex(create_only, name_.c_str(), permissions()));
      created_ = true;
    } catch (const interprocess_exception&) {
      if (!alone) throw;
      // The name exists but no live process holds the owner lock: a task
      // ended without releasing it. Remove the leftover and take the lock.
      named_mutex::remove(name_.c_str());
      mutex_.reset(new named_mutex(create_only, name_.c_str(), permissions()));
      created_ = true;
      HxLogStream(HxLogLvl::Warning) << "Taking over the lock '" << name_
                                     << "' left behind by a task that is no longer running" << std::endl;
    }
    if (created_ && !alone) {
      // A live task still holds the owner lock (it is just releasing the
      // name): do not run beside it.
      mutex_.reset();
      named_mutex::remove(name_.c_str());
      created_ = false;
    }
  } catch (const interprocess_exception& e) {
    std::cerr << "pg_mutex: can't create mutex: " << e.what() << std::endl;
  } catch (...) {
    std::cerr << "pg_mutex: error" << std::endl;
  }
  if (!created_ && owner_fd_ >= 0) {
    ::close(owner_fd_);  // a refused task must not hold the owner lock
    owner_fd_ = -1;
  }
}

hx_module_mutex::~hx_module_mutex() {
  if (created_) boost::interprocess::named_mutex::remove(name_.c_str());
  if (owner_fd_ >= 0) ::close(owner_fd_);
}

bool hx_module_mutex::is_created() const { return created_; }

boost::shared_ptr<boost::interprocess::named_mutex> hx_module_mutex::get() const { return mutex_; }

bool HxModuleUniversal::lock_resource_handling(const std::string& resource) {
  try {
    const std::string name = "Halvex_MOD_mutex_" +
                             boost::filesystem::path(options_.program_path).filename().string() + "_" +
                             lock_digest_text(resource);
    resource_mutex_.reset();
    resource_mutex_ = std::make_unique<hx_module_mutex>(name);
    if (!resource_mutex_->is_created() || !resource_mutex_->get()->try_lock()) {
      HxLogStream(HxLogLvl::Info) << "Can't run more than one task on the resource: '" << resource
                                  << "' at the same time" << std::endl;
      return false;
    }
    return true;
  } catch (const boost::interprocess::interprocess_exception& e) {
    HxLogStream(HxLogLvl::Error) << "bool HxModuleUniversal::lock_resource_handling(const string&)"
                                 << ": can't create mutex: " << e.what() << std::endl;
    return false;
  }
}

void HxModuleUniversal::unlock_resource_handling() { resource_mutex_.reset(); }
