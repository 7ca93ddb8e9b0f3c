// Owners and permissions of files the module hands to the server's account.
#include "postgresql/hx_postgresql_common.h"

#include "log/hx_logger.h"
#include "utils/hx_utils_common.h"

#include <cerrno>
#include <cstring>
#include <iomanip>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace hx_postgresql_common {

owner_t get_user_uid_gid(boost::string_view name) {
  const std::string account(name.data(), name.size());
  errno = 0;
  const passwd* entry = getpwnam(account.c_str());
  if (entry == nullptr) {
    throw std::runtime_error(std::string("getpwnam returned a null passwd structure (") + std::strerror(errno) +
                             ")");
  }
  return owner_t(entry->pw_uid, entry->pw_gid);
}

bool is_owner(const boost::filesystem::path& path, const owner_t& owner) {
  struct stat st {};
  // lstat: a final symbolic link is judged itself, not what it points to.
  if (lstat(path.generic_string().c_str(), &st) != 0) {
    throw std::runtime_error(std::string("lstat failed (") + std::strerror(errno) + ")");
  }
  return st.st_uid == boost::tuples::get<0>(owner) && st.st_gid == boost::tuples::get<1>(owner);
}

bool change_owner(const boost::filesystem::path& path, const owner_t& owner, bool recursive) {
  // With recursion only the top path is tested: a tree whose top already has
  // the owner is left as it is.
  if (is_owner(path, owner)) return true;

  // chown runs from an argument vector (no shell can read the path) and
  // with -h: a link is given the owner itself, its target never.
  std::vector<std::string> args = {"chown", "-h"};
  if (recursive) args.push_back("-R");
  args.push_back(std::to_string(boost::tuples::get<0>(owner)) + ":" + std::to_string(boost::tuples::get<1>(owner)));
  args.push_back(path.string());
  const std::string command = hx_utils_common::command_text(args);
  HxLogStream(HxLogLvl::Debug) << "changing " << path << " owner with " << std::quoted(command) << "..."
                               << std::endl;
  std::string output;
  if (hx_utils_common::run_program(args, &output) == 0) return true;
  HxLogStream(HxLogLvl::Error) << "command " << std::quoted(command) << " failed!" << std::endl;
  if (!output.empty()) HxLogStream(HxLogLvl::Error) << output << (output.back() != '\n' ? "\n" : "");
  return false;
}

void change_permissions(const boost::filesystem::path& path, boost::filesystem::perms perms) {
  const boost::filesystem::perms current = boost::filesystem::status(path).permissions();
  if (current == perms) return;
  HxLogStream(HxLogLvl::Debug) << "changing " << path << " permissions "
                               << "0" << std::oct << static_cast<unsigned int>(current) << " -> "
                               << "0" << static_cast<unsigned int>(perms) << std::dec << "..." << std::endl;
  boost::filesystem::permissions(path, perms);
}

}  // namespace hx_postgresql_common
