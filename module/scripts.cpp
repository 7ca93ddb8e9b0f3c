// Two services for modules that need them: an administrator's script run from
// the product's script directory, and extra records added to an archive that
// has already been written.
#include "module/hx_modules_common.h"

#include "log/hx_logger.h"
#include "utils/hx_utils_common.h"

#include <boost/filesystem.hpp>
#include <boost/io/quoted.hpp>

#include <string>

namespace {

const char* const kScriptDirectory = "/opt/halvex/scripts";
const char* const kAppendSignature = "bool HxModuleUniversal::append_some_special()";

using hx_utils_common::shell_arg;

// The text with one line end at its end (the one it brought, or an added one).
std::string ended(const std::string& text) { return !text.empty() && text.back() == '\n' ? text : text + "\n"; }

}  // namespace

bool HxModuleUniversal::run_script(const std::string& script, const std::string& arguments) {
  namespace fs = boost::filesystem;
  // A script runs only from the script directory, whatever directory it is named with.
  std::string path = script;
  const fs::path given(script);
  if (given.parent_path().string() != kScriptDirectory) {
    HxLogStream(HxLogLvl::Warning) << "Change script path to: " << kScriptDirectory << std::endl;
    path = std::string(kScriptDirectory) + "/" + given.filename().string();
  }

  boost::system::error_code ec;
  const fs::file_status status = fs::status(path, ec);
  if (!fs::exists(status)) {
    HxLogStream(HxLogLvl::Error) << "Script doesn't exist: " << boost::io::quoted(path, '&') << std::endl;
    return false;
  }
  if (!fs::is_regular_file(status)) {
    HxLogStream(HxLogLvl::Error) << boost::io::quoted(path, '&') << " is not a regular file" << std::endl;
    return false;
  }

  HxLogStream(HxLogLvl::Info) << "Run script before LVM snapshot creation. Script name: " << path << " "
                              << arguments << std::endl;
  std::string output;
  const int code = hx_utils_common::execute_command(shell_arg(path) + " " + arguments, output);
  HxLogStream(HxLogLvl::Info) << ended(output);
  HxLogStream(HxLogLvl::Info) << "Script returned code: " << code << std::endl;
  if (code != 0) {
    HxLogStream(HxLogLvl::Warning) << "Script returns code is not NULL" << std::endl;
    return false;
  }
  return true;
}

bool HxModuleUniversal::append_some_special() {
  namespace fs = boost::filesystem;
  if (special_records_.empty()) return true;
  const std::string& list_file = options_.resource_list_file;
  if (list_file.empty()) {
    HxLogStream(HxLogLvl::Debug) << kAppendSignature << ": options_.resource_list_file is empty" << std::endl;
    return false;
  }
  if (!add_to_hxfd_list_file(list_file, special_records_, false)) return false;

  const std::string directory = fs::path(archive_filename()).parent_path().string();
  std::string command = "cd " + hx_utils_common::shell_single_quoted(directory) + " && " + "/opt/halvex/bin/hxfd" +
                        " -a " + shell_arg(hxd_hash_algorithm_) + (hxd_hash_length_ == 256 ? " -2 " : " -5 ") +
                        " -b " + std::to_string(hxd_block_size_);
  if (options_.autonomous) {
    command += " -u " + shell_arg(archive_filename()) + " --add " + shell_arg(list_file);
  } else {
    command += " -U " + shell_arg(options_.archive_name) + " --add " + shell_arg(list_file) + " -M " +
               shell_arg(options_.media_server) + " -T " + shell_arg(options_.task_id) + " -s " +
               shell_arg(get_task_secret()) + " -m " + shell_arg(meta_filename());
  }
  if (options_.dgst) {
    command += " -g " + shell_arg(archive_sign_filename()) + " --passin /opt/halvex/keys/master-key" +
               " --sign /opt/halvex/keys/secret-key.pem";
  }
  if (options_.parallelism != 1) command += " -p " + std::to_string(options_.parallelism);
  if (options_.crypto != "nocrypt") {
    if (options_.key_file.empty()) {
      HxLogStream(HxLogLvl::Error) << "you must define key file" << std::endl;
      return false;
    }
    boost::system::error_code ec;
    if (!fs::exists(options_.key_file, ec)) {
      HxLogStream(HxLogLvl::Error) << "there is no key file: " << options_.key_file << std::endl;
      return false;
    }
    command += " -C " + shell_arg(options_.crypto) + " -k " + shell_arg(options_.key_file);
  }
  if (options_.compress != 0) {
    command += " -z " + shell_arg(compress_mode_str(static_cast<unsigned int>(options_.compress)));
  }
  if (options_.memory_threshold != 0) {
    command += " --memory-threshold " + std::to_string(options_.memory_threshold);
  }

  HxLogStream(HxLogLvl::Info) << kAppendSignature << ": " << "Execute command:" << command << std::endl;
  std::string output;
  if (hx_utils_common::execute_command(command, output) == 0) return true;
  HxLogStream(HxLogLvl::Error) << "base_backup command: " << command << std::endl;
  HxLogStream(HxLogLvl::Error) << "base_backup command result: " << ended(output);
  return false;
}
