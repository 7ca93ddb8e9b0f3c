// The backup archiver command, its local run, the archiver list file, and the
// closing step of a backup.
//
// Values go into the command lines unchanged when they hold only letters,
// digits and _ . / : , + = @ % -; any other value is quoted for the shell so
// that it stays one word and cannot end or extend the command.
#include "module/hx_modules_common.h"

#include "log/hx_logger.h"
#include "utils/hx_utils_common.h"

#include <boost/filesystem.hpp>

#include <cerrno>
#include <iostream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char* const kCmdCommonSignature = "bool HxModuleUniversal::make_backup_cmd_common(std::string&)";
const char* const kLocallySignature = "bool HxModuleUniversal::make_backup_locally()";
const char* const kCloseSignature = "bool HxModuleUniversal::close_backup(const bool&)";
const char* const kListFileSignature =
    "bool HxModuleUniversal::add_to_hxfd_list_file(const string&, const std::map<std::__cxx11::basic_string<char>, "
    "std::__cxx11::basic_string<char> >&, bool)";

const char* const kMasterKey = "/opt/halvex/keys/master-key";
const char* const kSecretKey = "/opt/halvex/keys/secret-key.pem";

using hx_utils_common::shell_arg;

const char* backup_type_word(int type) {
  switch (type) {
    case HxBackupType::Full:
      return "a full";
    case HxBackupType::Incremental:
      return "an incremental";
    case HxBackupType::Differential:
      return "a differential";
    default:
      return "";
  }
}

}  // namespace

bool HxModuleUniversal::make_backup() {
  if (options_.remote_host.empty()) return make_backup_locally();
  return make_backup_remotely();
}

bool HxModuleUniversal::make_backup_cmd_common(std::string& command) {
  namespace fs = boost::filesystem;
  const std::string head = "cd / && /opt/halvex/bin/hxfd -a " + shell_arg(hxd_hash_algorithm_) +
                           (hxd_hash_length_ == 256 ? " -2 " : " -5 ") + " -b " + std::to_string(hxd_block_size_);

  const std::string& list_file = options_.resource_list_file;
  if (!list_file.empty()) {
    if (!fs::exists(list_file)) {
      HxLogStream(HxLogLvl::Error) << kCmdCommonSignature << ": resource list file doesn't exist: " << list_file
                                   << std::endl;
      return false;
    }
    if (!fs::is_regular_file(list_file)) {
      HxLogStream(HxLogLvl::Error) << kCmdCommonSignature << ": resource list file is not a regular file: "
                                   << list_file << std::endl;
      return false;
    }
    command = head + " -c " + shell_arg(list_file);
  } else if (!fs::is_directory(options_.resource)) {
    command = head + " -c " + shell_arg(options_.resource);
  } else {
    // A directory resource without a list file: the archiver takes its
    // working directory, "/" like every backup command.
    command = head + " -c . ";
  }

  if (options_.parallelism != 1) command += " -p " + std::to_string(options_.parallelism);

  command += " -x " + std::string(kMasterKey) + "," + kSecretKey;

  if (options_.local_restrictions) {
    // The entries join the -x word: quoted pieces next to each other stay one
    // shell word. The "," is there also when the list is empty or missing.
    const std::vector<std::string> entries = read_local_restrictions();
    std::string joined;
    for (std::size_t i = 0; i < entries.size(); ++i) {
      if (i != 0) joined += ",";
      if (!entries[i].empty()) joined += shell_arg(entries[i]);
    }
    command += "," + joined;
  }

  if (numeric_owner_) command += " --numeric-owner";

  switch (options_.backup_type) {
    case HxBackupType::Full:
      break;
    case HxBackupType::Incremental:
    case HxBackupType::Differential:
      if (!without_reference_snapshot_) {
        if (options_.resolved_meta_file.empty()) {
          HxLogStream(HxLogLvl::Error) << kCmdCommonSignature
                                       << ": you must define reference snapshot name (-s option)" << std::endl;
          return false;
        }
        command += " -S " + shell_arg(options_.resolved_meta_file);
      }
      break;
    default:
      HxLogStream(HxLogLvl::Error) << kCmdCommonSignature << ": wrong backup type: " << options_.backup_type
                                   << std::endl;
      return false;
  }

  if (options_.compress != 0) {
    command += " -z " + shell_arg(compress_mode_str(static_cast<unsigned int>(options_.compress)));
  }
  if (options_.memory_threshold != 0) {
    command += " --memory-threshold " + std::to_string(options_.memory_threshold);
  }
  return true;
}

bool HxModuleUniversal::make_backup_locally() {
  namespace fs = boost::filesystem;
  hxfd_succeeded_ = false;
  try {
    std::string command;
    if (!make_backup_cmd_common(command)) return false;

    if (options_.autonomous) {
      command += " -n " + shell_arg(archive_filename()) + " -m " + shell_arg(meta_filename());
    } else {
      command += " -M " + shell_arg(options_.media_server) + " -N " + shell_arg(options_.archive_name) + " -T " +
                 shell_arg(options_.task_id) + " -s " + shell_arg(get_task_secret()) + " -m " +
                 shell_arg(meta_filename());
    }

    if (options_.dgst) {
      command += " -g " + shell_arg(archive_sign_filename()) + " --passin " + kMasterKey + " --sign " + kSecretKey;
    }

    if (options_.local_restrictions && fs::exists(options_.restriction_list_file)) {
      command += " -X " + shell_arg(options_.restriction_list_file);
    }

    if (options_.crypto != "nocrypt") {
      if (options_.key_file.empty()) {
        HxLogStream(HxLogLvl::Error) << "you must define key file" << std::endl;
        return false;
      }
      if (!fs::exists(options_.key_file)) {
        HxLogStream(HxLogLvl::Error) << "there is no key file: " << options_.key_file << std::endl;
        return false;
      }
      command += " -C " + shell_arg(options_.crypto) + " -k " + shell_arg(options_.key_file);
    }

    command += " 2>&1";

    // The archiver's files are readable by the client while it writes them;
    // everything the module creates afterwards is private again.
    std::string output;
    std::string last_statistics;
    umask(022);
    const bool result = run_hxfd_command(command, output, hxfd_pid_, last_statistics);
    umask(077);

    if (!result) {
      HxLogStream(HxLogLvl::Error) << kLocallySignature << ": " << command << std::endl;
      // Each collected line already ends with a line end; an empty output
      // gets one so that the next log line starts on its own.
      HxLogStream(HxLogLvl::Error) << "hxfd out: " << output << (output.empty() ? "\n" : "");
    }
    hxfd_succeeded_ = result;
    return result;
  } catch (const fs::filesystem_error& e) {
    HxLogStream(HxLogLvl::Error) << kLocallySignature << ": filesystem error: " << e.what() << std::endl;
    return false;
  } catch (const std::exception& e) {
    // GCOVR_EXCL_START: nothing in the try block throws a standard exception but std::bad_alloc
    HxLogStream(HxLogLvl::Error) << kLocallySignature << ": exception: " << e.what() << std::endl;
    return false;
  }  // GCOVR_EXCL_STOP
}

bool HxModuleUniversal::add_to_hxfd_list_file(const std::string& path,
                                              const std::map<std::string, std::string>& records, bool append) {
  // The list is written only into a regular file: never through a link, nor
  // into a FIFO or a device planted at its path (which could block the task
  // or take the list elsewhere). A fresh list is a new file; a list appended
  // to must be a regular file with this one name.
  struct stat found {};
  const bool exists = ::lstat(path.c_str(), &found) == 0;
  int fd = -1;
  if (exists && (!S_ISREG(found.st_mode) || (append && found.st_nlink != 1))) {
    HxLogStream(HxLogLvl::Error) << kListFileSignature << ": " << "not a regular file: " << path << std::endl;
  } else if (append) {
    fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    struct stat opened {};
    if (fd >= 0 && (::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode) || opened.st_nlink != 1)) {
      ::close(fd);
      fd = -1;
    }
  } else if (!exists || ::unlink(path.c_str()) == 0) {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  }
  if (fd < 0) {
    HxLogStream(HxLogLvl::Error) << kListFileSignature << ": " << "can't create hxfd list file" << std::endl;
    return false;
  }

  std::string text;
  if (!append) {
    HxLogStream(HxLogLvl::Info) << "Adding record to hxfd file list: " << "HXFD file list:" << std::endl;
    text += "HXFD file list:\n";
  }
  for (const auto& record : records) {
    HxLogStream(HxLogLvl::Info) << "Adding record to hxfd file list: " << record.first << " : " << record.second
                                << std::endl;
    text += "   " + record.first + " : " + record.second + "\n";
  }
  std::size_t written = 0;
  while (written < text.size()) {
    const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    written += static_cast<std::size_t>(n);
  }
  const bool closed = ::close(fd) == 0;
  // A list the archiver would read truncated (a full disk) is no list: the
  // archive would silently lack the files of the lost lines.
  if (written < text.size() || !closed) {
    HxLogStream(HxLogLvl::Error) << kListFileSignature << ": " << "can't write hxfd list file completely: " << path
                                 << std::endl;
    return false;
  }
  return true;
}

bool HxModuleUniversal::close_backup(const bool& replica) {
  namespace fs = boost::filesystem;
  try {
    // An archiver that reported success without its meta file stored
    // nothing the client could use: the backup is not reported as made (the
    // next incremental backup would have no reference).
    boost::system::error_code ec;
    const fs::file_status meta = fs::symlink_status(meta_filename(), ec);
    if (!fs::is_regular_file(meta)) {
      HxLogStream(HxLogLvl::Error) << kCloseSignature << ": the archiver reported success but wrote no meta file: "
                                   << meta_filename() << std::endl;
      return false;
    }
    if (fs::file_size(meta_filename(), ec) == 0 || ec) {
      HxLogStream(HxLogLvl::Error) << kCloseSignature
                                   << ": the archiver reported success but wrote an empty meta file: "
                                   << meta_filename() << std::endl;
      return false;
    }

    fs::remove_all(leveldb_directory_path());

    if (pack_snapshot_file() != 0) {
      HxLogStream(HxLogLvl::Error) << kCloseSignature << ": can't create the main snapshot file: " << std::endl;
      return false;
    }

    // From its first "MAIN " line on the backup is made and the client may
    // keep it: an abort that comes later no longer ends the task, which
    // finishes what follows (the removal of the WAL files the backup made
    // obsolete included) and reports its real result. An abort already
    // pending ends the task here, before anything is reported.
    pass_point_of_no_return("the backup is made and is being reported to the client");
    // Each answer stays on its line whatever the -d directory holds.
    const std::string main_file = options_.autonomous ? archive_filename() : snapshot_filename();
    using HxDestination::printable;
    std::cout << "MAIN ARCHIVE FILENAME:" + printable(main_file) + "\n" << std::flush;
    std::cout << "MAIN SNAPSHOT FILENAME:" + printable(snapshot_filename()) + "\n" << std::flush;
    std::cout << "MAIN ARCHIVE SIGN FILENAME:" + printable(archive_sign_filename()) + "\n" << std::flush;

    if (!replica && file_list_ && fs::exists(main_file)) {
      const std::string command =
          "/opt/halvex/bin/hxfd -l " + hx_utils_common::shell_single_quoted(meta_filename()) + " -v 1";
      std::string output;
      const int status = hx_utils_common::execute_command(command, output);
      if (status == 0) {
        std::cout << "FILE LISTING START:" << std::endl;
        std::cout << output;
        std::cout << "FILE LISTING END" << std::endl;
      } else {
        HxLogStream(HxLogLvl::Error) << kCloseSignature << ": command produced error: " << command << std::endl;
        HxLogStream(HxLogLvl::Error) << "Command output start: ---------------------------------------------- "
                                     << std::endl;
        HxLogStream(HxLogLvl::Error) << output << std::endl;
        HxLogStream(HxLogLvl::Error) << "Command output end ------------------------------------------------- "
                                     << std::endl;
        return false;
      }
    }

    fs::remove_all(snapshot_directory_path());

    const std::string reference_directory = reference_snapshot_directory_path();
    if (fs::exists(reference_directory)) {
      HxLogStream(HxLogLvl::Info) << "Remove obsolete file: " << reference_directory << std::endl;
      fs::remove_all(reference_directory);
    }

    if (options_.capabilities[HxModuleCapability::Archiving] && options_.archiving) make_archiving();

    HxLogStream(HxLogLvl::Info) << "The task to make " << backup_type_word(options_.backup_type)
                                << " backup of resource '" << options_.resource << "' completed successfully"
                                << std::endl
                                << std::endl;
    return true;
  } catch (const fs::filesystem_error& e) {
    HxLogStream(HxLogLvl::Error) << kCloseSignature << ": filesystem error: " << e.what() << std::endl;
    return false;
  }
}
