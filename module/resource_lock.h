// Names used by the per-resource lock (HxModuleUniversal::lock_resource_handling).
#pragma once

#include <cstddef>
#include <string>

namespace hx_resource_lock {

// The first eight bytes of a MAC, each written in hexadecimal without leading
// zeros (0x0a gives "a", 0x00 gives "0", 0xff gives "ff"), joined without
// separator: 8 to 16 lowercase hexadecimal characters.
std::string digest_text(const unsigned char* mac);

// digest_text of HMAC-SHA-256 of the resource under the compiled-in MAC key.
std::string resource_digest_text(const std::string& resource);

// "Halvex_MOD_mutex_" + the file name of program_path + "_" + the digest text
// of the resource.
std::string lock_name(const std::string& program_path, const std::string& resource);

// The name of the file whose flock() marks a live holder of the lock
// `name`, in the program's own directory: `name` + ".owner".
std::string owner_file_name(const std::string& name);

// Where the named mutex `name` lies in the file system (a POSIX named
// semaphore on Linux): "/dev/shm/sem." + `name`.
std::string semaphore_path(const std::string& name);

}  // namespace hx_resource_lock
