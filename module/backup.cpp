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
#include <cstring>
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

// True when text holds a byte below 0x20 other than the tab, or 0x7f: a
// line end or anything a reader of lines might take for one.
bool has_control_character(const std::string& text) {
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte < 0x20 && c != '\t') || byte == 0x7f) return true;
  }
  return false;
}

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
      // The archiver, run as root, writes the signature into the file of
      // that name: a link or file another account placed there (in a -d
      // that others may write) would take root's writes. The task makes it
      // afresh, exclusively and never through a link, readable by the client
      // as the archiver's own files are; no other account can rename or
      // replace an entry of root's there.
      if (!open_operation_directory()) return false;
      std::string refused;
      const hx_utils_common::UniqueFd signature =
          hx_utils_common::create_file_at(operation_directory_.get(), archive_sign_name(), 0644, refused);
      if (!signature || ::fchmod(signature.get(), 0644) != 0) {
        HxLogStream(HxLogLvl::Error) << kLocallySignature << ": can't use " << archive_sign_filename() << ": "
                                     << (refused.empty() ? std::strerror(errno) : refused) << std::endl;
        return false;
      }
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
  // Each record is one line that the archiver splits at its first " : ".
  // A record that would read back as other lines or another path (names can
  // come from directories other accounts write) is refused before anything
  // is written: the archiver, run as root, would take whatever it read.
  for (const auto& record : records) {
    const char* reason = nullptr;
    if (has_control_character(record.first) || has_control_character(record.second)) {
      reason = "it holds a line end or another control character";
    } else if ((record.first + " : ").find(" : ") != record.first.size()) {
      reason = "its path holds \" : \", where the line would be split";
    }
    if (reason != nullptr) {
      HxLogStream(HxLogLvl::Error) << kListFileSignature << ": " << "can't write the record "
                                   << HxDestination::printable(record.first) << " : "
                                   << HxDestination::printable(record.second) << " as one line of the list file: "
                                   << reason << std::endl;
      return false;
    }
  }

  // The list lies in -d, which other accounts may be able to write (a sticky
  // directory): it is written only into a regular file of this process's
  // user with this one name, made by the task (a fresh list, exclusively) or
  // already its own (a list appended to); never through a link, nor into a
  // FIFO, a device or another account's file planted at its name, which is
  // neither used nor removed.
  const boost::filesystem::path file(path);
  const std::string name = file.filename().string();
  const hx_utils_common::UniqueFd directory =
      hx_utils_common::open_directory_nofollow(file.has_parent_path() ? file.parent_path().string() : ".");
  std::string refused;
  int fd = -1;
  if (!directory) {
    // Nothing to refuse: the list cannot be made there at all.
  } else if (!append) {
    // Never writable by another account, whatever the umask.
    fd = hx_utils_common::create_file_at(directory.get(), name, 0644, refused).release();
  } else if (hx_utils_common::entry_free_or_own(directory.get(), name, false, refused)) {
    fd = ::openat(directory.get(), name.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                  0644);
    struct stat opened {};
    // Lines that another account could add would be archived as root's.
    if (fd >= 0 && (::fstat(fd, &opened) != 0 || !hx_utils_common::own_entry(opened, false) ||
                    (opened.st_mode & (S_IWGRP | S_IWOTH)) != 0)) {
      refused = hx_utils_common::describe_entry(opened) + ", which another account could have placed; it is "
                                                          "neither used nor removed";
      ::close(fd);
      fd = -1;
    }
  }
  if (fd < 0) {
    if (!refused.empty()) {
      HxLogStream(HxLogLvl::Error) << kListFileSignature << ": can't use " << path << ": " << refused << std::endl;
    }
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
  const bool written = hx_utils_common::write_all(fd, text);
  const bool closed = ::close(fd) == 0;
  // A list the archiver would read truncated (a full disk) is no list: the
  // archive would silently lack the files of the lost lines.
  if (!written || !closed) {
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

    // The snapshot file is made by this task, exclusively and never through
    // a link; tar then writes into that very file (in -d, nobody else can
    // rename or replace an entry of root's).
    std::string refused;
    if (!open_operation_directory() ||
        !hx_utils_common::create_file_at(operation_directory_.get(), options_.archive_name + ".snap", 0600, refused)) {
      if (!refused.empty()) {
        HxLogStream(HxLogLvl::Error) << kCloseSignature << ": can't use " << snapshot_filename() << ": " << refused
                                     << std::endl;
      }
      HxLogStream(HxLogLvl::Error) << kCloseSignature << ": can't create the main snapshot file: " << std::endl;
      return false;
    }
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
