// The command line: the option table, the usage text and the parser that
// turns one command line into HxModuleOptions.
//
// Operation options are examined in a fixed order, whatever their order on the
// command line: each one is accepted only in the modes its rule lists, so that
// conflicting operations are refused and the options that refine an operation
// (-1/-2 before -b, --autonomous after -b) combine the same way in any order.
#include "module/hx_modules_common.h"

#include "log/hx_logger.h"

#include <boost/filesystem/path.hpp>
#include <boost/lexical_cast.hpp>
#include <boost/program_options.hpp>

#include <exception>
#include <initializer_list>
#include <iostream>
#include <string>
#include <vector>

namespace po = boost::program_options;

namespace {

const char* const kParseSignature = "bool HxModuleUniversal::parse_module_options(int, char**, HxModuleOptions&)";

bool mode_in(int mode, std::initializer_list<int> modes) {
  for (int m : modes) {
    if (mode == m) return true;
  }
  return false;
}

// The modes that run a backup or restore task.
bool is_task_mode(int mode) {
  return mode_in(mode, {HxModuleMode::Backup, HxModuleMode::BackupList, HxModuleMode::Restore,
                        HxModuleMode::CreateReplica, HxModuleMode::ApplyReplica});
}

void log_refusal(const char* message) { HxLogStream(HxLogLvl::Error) << message << std::endl; }

// The value of an unsigned option: decimal digits only. The library's own
// conversion would take "-1" for 4294967295.
struct UnsignedNumber {
  unsigned int value = 0;
};

void validate(boost::any& stored, const std::vector<std::string>& values, UnsignedNumber*, int) {
  po::validators::check_first_occurrence(stored);
  const std::string& text = po::validators::get_single_string(values);
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) {
    throw po::invalid_option_value(text);
  }
  try {
    stored = UnsignedNumber{boost::lexical_cast<unsigned int>(text)};
  } catch (const boost::bad_lexical_cast&) {
    throw po::invalid_option_value(text);  // too large
  }
}

// A name that becomes part of a path of the task (below its directory, or
// the task secret file): not "." or "..", no "/" that could lead elsewhere,
// no control character.
bool is_plain_name(const std::string& name) {
  if (name == "." || name == "..") return false;
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '/' || byte < 0x20 || byte == 0x7f) return false;
  }
  return true;
}

// The operations an option refines, as a refusal names them.
const char* const kTaskOperations = "-b, -B, -r, -A or -R";
const char* const kBackupOperations = "-b, -B or -A";

// Why `option` is refused: `mode_option` selected the operation so far (""
// for none, and for -1 or -2 alone, which a backup option completes), and
// `with` lists the operations the option goes with ("" when it is an
// operation of its own, which goes with no other).
std::string refusal_reason(const std::string& option, const std::string& mode_option, const std::string& with) {
  if (with.empty()) return "The options " + mode_option + " and " + option + " do not go together";
  if (mode_option.empty()) return "The option " + option + " needs one of the options " + with;
  return "The option " + option + " does not go with " + mode_option + "; it goes only with " + with;
}

// Logs the refusal of a name that is not plain; false then.
bool check_name(const char* what, const std::string& name) {
  if (is_plain_name(name)) return true;
  HxLogStream(HxLogLvl::Error) << what << " is not a valid name: '" << HxDestination::printable(name)
                               << "' (it may not contain \"/\" or control characters, nor be \".\" or \"..\")"
                               << std::endl;
  return false;
}

}  // namespace

bool HxModuleUniversal::init(int argc, char** argv) {
  // Handlers first: a signal that arrives while the command line is parsed
  // already finds the module's handlers in place.
  signal_handler_ = HxModuleSignalHandler::init(this);
  return parse_module_options(argc, argv, options_);
}

std::string HxModuleUniversal::compress_mode_str(unsigned int compress) {
  switch (compress) {
    case 1:
      return "None";
    case 2:
      return "fast";
    case 3:
      return "optimal";
    case 4:
      return "best";
    default:
      return "Wrong or deprecated compression type: " + std::to_string(compress);
  }
}

void HxModuleUniversal::usage(const std::string& program_path) {
  std::cout << "This utility is a part of Halvex project" << std::endl;
  std::cout << "Version: " << get_full_module_version() << std::endl;
  std::cout << "Usage: " + HxDestination::printable(program_path) + "\n";
  std::cout << "       -V (show version)" << std::endl;
  std::cout << "       -1 (Full backup supported? It returns 0 if yes)" << std::endl;
  std::cout << "       -2 (Incremental or differential backup supported? It returns 0 if yes)" << std::endl;
  std::cout << "       -D (Is client-side deduplication supported? It returns 0 if yes" << std::endl;
  std::cout << "       -a (Does module support archiving? It returns 0 if yes" << std::endl;
  std::cout << "       -h (this message)" << std::endl;
  std::cout << "       -c (list header labels if module is not browsable)" << std::endl;
  std::cout << "       -l (list all resources at this client without headers if module is not browsable)" << std::endl;
  std::cout << "       -L (list all resources at this client with headers if module is not browsable)" << std::endl;
  std::cout << "       -1 [ -C crypto algorithm -k key_file ] ] -b resource -d tmp_operation_directory  "
               "[ -m media_server -T task_id | --autonomous ]-n archive_name [ -z compress_type ] [ -j ] "
               "[ -p parallelism ] [ -a ] (create full backup or make archiving with -a option )"
            << std::endl;
  std::cout << "       -2 [ -C crypto algorithm -k key_file ] ] -b resource -d tmp_operation_directory "
               "[ -m media_server -T task_id | --autonomous ]-n archive_name -s reference_snapshot "
               "[ -z compress_type ] [ -j ] [ -p parallelism ] (create incremental or differential backup)"
            << std::endl;
  std::cout << "       -r record_id [ -m media_server | --autonomous ] [ -C crypto algorithm -k key_file ] "
               "[ -p parallelism ] -d destination_directory [ -i archive_to_patch ] (restore record ID)"
            << std::endl;
  std::cout << "       -t (check the ability to run the module on this client)" << std::endl;
  std::cout << "       --show-backup-options (show supported module special backup options)" << std::endl;
  std::cout << "       --show-module-properties" << std::endl;
  std::cout << "       -o (List restore options)" << std::endl;
  std::cout << "       --autonomous (Autonomous mode supported? It returns 0 if yes)" << std::endl;
  std::cout << "compress_type: 1 - no compress, 2 - fast, 3 - optimal, 4 - best" << std::endl;
  std::cout << "       Remote replication: " << std::endl;
  // Only arguments that an option of the table provides are shown.
  std::cout << "       -A resource [ -C crypto algorithm -k key_file ] -d tmp_operation_directory "
               "-m media_server -T task_id -n archive_name [ -p parallelism ] (create replica)"
            << std::endl;
  std::cout << "       -R record_id [ -C crypto algorithm -k key_file ] -d destination_resource "
               "-m media_server [ -p parallelism ] (apply remote replica)"
            << std::endl;
  usage_custom();
}

bool HxModuleUniversal::parse_module_options(int argc, char** argv, HxModuleOptions& options) {
  options.program_path = (argc > 0 && argv != nullptr && argv[0] != nullptr) ? argv[0] : "";
  options_refusal_.clear();
  if (argc <= 1) {
    usage(options.program_path);
    return false;
  }
  try {
    po::options_description desc("Options description", 80, 40);
    // clang-format off
    desc.add_options()
      ("help,h", "this message")
      ("version,V", "show version")
      ("full,1", "Define full backup")
      ("incr,2", "Define inc backup")
      ("autonomous", "Autonomous mode")
      ("show-backup-options", "Show special backup options for autonomous mode")
      ("show-module-properties", "Show module properties")
      ("create-replica,A", po::value<std::string>(&options.resource), "Create a replica of resource")
      ("is-archiving-supported,a", "Is archiving supported?")
      ("backup,b", po::value<std::string>(&options.resource), "Backup a resource")
      ("backup_list,B", po::value<std::string>(&options.resource),
       "Path to a json file containing list of resources to backup")
      ("crypto,C", po::value<std::string>(&options.crypto), "Crypto algorithm")
      ("list-headers,c", "List headers, if module is not browsable")
      ("is-dedup-supported,D", "Is deduplication supported?")
      ("tmp-operation-directory,d", po::value<std::string>(&options.tmp_operation_directory),
       "Temporary operation directory")
      ("module-params,e", po::value<std::string>(&options.module_params), "Module parameters")
      ("archive-to-patch,i", po::value<std::string>(&options.archive_to_patch), "Archive to patch")
      ("local-restrictions,j", "Enable local restrictions")
      ("key-file,k", po::value<std::string>(&options.key_file),
       "Key file for the crypto algorithm, handed to the archiver")
      ("list-all-resource,l", "List all resource, if module is not browsable")
      ("list-all-resource--with-headers,L", "List all resource with headers, if module is not browsable")
      ("media-server,m", po::value<std::string>(&options.media_server), "Define media server")
      ("archive-name,n", po::value<std::string>(&options.archive_name), "Define created archive name")
      ("meta-file,M", po::value<std::string>(&options.meta_file), "Define meta or snapshot file name")
      ("parallelism,p", po::value<UnsignedNumber>()->notifier(
          [&options](const UnsignedNumber& number) { options.parallelism = number.value; }), "Parallelism")
      ("apply-replica,R", po::value<std::string>(&options.record_id), "Apply replica record ID")
      ("restore,r", po::value<std::string>(&options.record_id), "Restore record ID")
      ("reference-snapshot,s", po::value<std::string>(&options.reference_snapshot), "Reference snapshot")
      ("task-id,T", po::value<std::string>(&options.task_id), "Task ID")
      ("check-client,t", "Check whether the module can work on the client")
      ("compress,z", po::value<int>(&options.compress), "Compress")
      ("granular-list,f", po::value<std::string>(&options.granular_list), "List of files for granular restore")
      ("dgst", "generate signature for backup")
      ("restore-parameters,o", "List restore parameters")
      ("memory-threshold,G", po::value<UnsignedNumber>()->notifier(
          [&options](const UnsignedNumber& number) { options.memory_threshold = number.value; }),
       "Allowed amount of memory");
    // clang-format on

    po::variables_map vm;
    po::store(po::parse_command_line(argc, argv, desc), vm);
    po::notify(vm);
    auto given = [&vm](const char* name) { return vm.count(name) != 0; };

    if (given("help")) {
      usage(options.program_path);
      std::cout << desc << std::endl;
      return true;
    }

    int& mode = options.mode;
    // The option that selected the current mode, which a refusal names.
    std::string mode_option;
    auto select = [&mode, &mode_option](HxModuleMode selected, const char* option) {
      mode = selected;
      mode_option = option;
    };
    // Refuses `option` in the current mode; `with` as for refusal_reason.
    auto refuse = [&](const char* option, const char* with) {
      const bool completed_by_backup = mode == HxModuleMode::IsBackupTypeSupported && *with != '\0';
      options_refusal_ = refusal_reason(option, completed_by_backup ? "" : mode_option, with);
      return false;
    };

    // Operation options, in their fixed order.
    struct Simple {
      const char* name;
      const char* option;
      HxModuleMode selects;
    };
    const Simple queries[] = {
        {"version", "-V", HxModuleMode::Version},
        {"list-headers", "-c", HxModuleMode::ListHeaders},
        {"list-all-resource--with-headers", "-L", HxModuleMode::ListAllResourcesWithHeaders},
        {"show-backup-options", "--show-backup-options", HxModuleMode::ShowBackupOptions},
        {"show-module-properties", "--show-module-properties", HxModuleMode::ShowModuleProperties},
        {"check-client", "-t", HxModuleMode::CheckClient},
        {"list-all-resource", "-l", HxModuleMode::ListAllResources},
    };
    for (const Simple& query : queries) {
      if (!given(query.name)) continue;
      if (mode != HxModuleMode::None) return refuse(query.option, "");
      select(query.selects, query.option);
    }
    if (given("full")) {
      if (mode != HxModuleMode::None) return refuse("-1", "");
      select(HxModuleMode::IsBackupTypeSupported, "-1");
      options.backup_type = HxBackupType::Full;
    }
    if (given("incr")) {
      if (mode != HxModuleMode::None) return refuse("-2", "");
      select(HxModuleMode::IsBackupTypeSupported, "-2");
      options.backup_type = HxBackupType::Incremental;
    }
    if (given("is-dedup-supported")) {
      if (mode != HxModuleMode::None) return refuse("-D", "");
      select(HxModuleMode::IsDedupSupported, "-D");
    }
    if (given("backup")) {
      if (!mode_in(mode, {HxModuleMode::None, HxModuleMode::IsBackupTypeSupported})) return refuse("-b", "");
      select(HxModuleMode::Backup, "-b");
      if (options.resource.empty()) {
        log_refusal("Resource is empty");
        return false;
      }
    }
    if (given("backup_list")) {
      if (!mode_in(mode, {HxModuleMode::None, HxModuleMode::IsBackupTypeSupported})) return refuse("-B", "");
      select(HxModuleMode::BackupList, "-B");
      if (options.resource.empty()) {
        HxLogStream(HxLogLvl::Error) << kParseSignature << ": resource is empty" << std::endl;
        return false;
      }
      if (!options.resource_list.parse_json_file(options.resource)) {
        HxLogStream(HxLogLvl::Error) << kParseSignature << ": can't parse json file: " << options.resource
                                     << std::endl;
        return false;
      }
    }
    if (given("restore")) {
      if (mode != HxModuleMode::None) return refuse("-r", "");
      select(HxModuleMode::Restore, "-r");
      if (options.record_id.empty()) {
        log_refusal("Record ID is empty");
        return false;
      }
    }
    if (given("apply-replica")) {
      if (mode != HxModuleMode::None) return refuse("-R", "");
      select(HxModuleMode::ApplyReplica, "-R");
      if (options.record_id.empty()) {
        log_refusal("Record ID is empty");
        return false;
      }
    }
    if (given("create-replica")) {
      if (!mode_in(mode, {HxModuleMode::None, HxModuleMode::IsBackupTypeSupported})) return refuse("-A", "");
      select(HxModuleMode::CreateReplica, "-A");
      if (options.resource.empty()) {
        log_refusal("Resource is empty");
        return false;
      }
    }
    if (given("autonomous")) {
      if (mode == HxModuleMode::None) {
        select(HxModuleMode::IsAutonomousSupported, "--autonomous");
      } else if (mode_in(mode, {HxModuleMode::Backup, HxModuleMode::BackupList, HxModuleMode::Restore})) {
        options.autonomous = true;
        if (!options.media_server.empty()) {
          log_refusal("Can't use media server with autonomous mode");
          return false;
        }
      } else {
        return refuse("--autonomous", "-b, -B or -r");
      }
    }

    // The options that refine an operation, in their fixed order.
    if (given("tmp-operation-directory")) {
      if (!is_task_mode(mode)) return refuse("-d", kTaskOperations);
      // The archiver runs from "/" and the task's files are named from -d:
      // a relative directory would mean one thing to each of them.
      if (!options.tmp_operation_directory.empty() && options.tmp_operation_directory[0] != '/') {
        options_refusal_ = "The option -d needs an absolute path, not '" +
                           HxDestination::printable(options.tmp_operation_directory) + "'";
        return false;
      }
      if (mode == HxModuleMode::ApplyReplica) options.destination_resource = options.tmp_operation_directory;
    }
    if (given("module-params") && !is_task_mode(mode)) return refuse("-e", kTaskOperations);
    if (given("compress")) {
      if (!is_task_mode(mode)) return refuse("-z", kTaskOperations);
      if (options.compress < 1 || options.compress > 4) options.compress = 1;
    }
    if (given("local-restrictions")) {
      if (!mode_in(mode, {HxModuleMode::Backup, HxModuleMode::BackupList, HxModuleMode::CreateReplica})) {
        return refuse("-j", kBackupOperations);
      }
      options.local_restrictions = true;
    }
    if (given("archive-name") &&
        !mode_in(mode, {HxModuleMode::Backup, HxModuleMode::BackupList, HxModuleMode::CreateReplica})) {
      return refuse("-n", kBackupOperations);
    }
    if (given("is-archiving-supported")) {
      if (mode == HxModuleMode::None) {
        select(HxModuleMode::IsArchivingSupported, "-a");
      } else if (mode_in(mode, {HxModuleMode::Backup, HxModuleMode::BackupList}) &&
                 options.backup_type == HxBackupType::Full) {
        options.archiving = true;
        std::cout << "Archiving mode: the module '" + HxDestination::printable(options.program_path) +
                         "' will delete the resource after the task is completed\n"
                  << std::flush;
      } else if (mode_in(mode, {HxModuleMode::Backup, HxModuleMode::BackupList})) {
        options_refusal_ = "The option -a goes only with a full backup, not with -2";
        return false;
      } else {
        return refuse("-a", "-b or -B");
      }
    }
    if (given("reference-snapshot")) {
      if (!mode_in(mode, {HxModuleMode::Backup, HxModuleMode::BackupList})) return refuse("-s", "-b or -B");
      if (options.backup_type == HxBackupType::Full) {
        log_refusal("Reference snapshot cannot be defined for full backup.");
        return false;
      }
    }
    if (given("media-server")) {
      if (!is_task_mode(mode)) return refuse("-m", kTaskOperations);
      if (options.autonomous) {
        log_refusal("Can't use a media server with autonomous mode");
        return false;
      }
    }
    if (given("task-id")) {
      if (!is_task_mode(mode)) return refuse("-T", kTaskOperations);
      if (options.autonomous) {
        log_refusal("Can't use a media server with autonomous mode");
        return false;
      }
      if (options.media_server.empty()) {
        log_refusal("You must define media-server before task ID");
        return false;
      }
    }
    if (given("granular-list") && mode != HxModuleMode::Restore) {
      log_refusal("The '-r' option must also be specified for granular restore");
      return false;
    }
    if (given("dgst") &&
        mode_in(mode, {HxModuleMode::Backup, HxModuleMode::BackupList, HxModuleMode::CreateReplica})) {
      options.dgst = true;
    }
    if (given("restore-parameters")) {
      if (mode != HxModuleMode::None) return refuse("-o", "");
      select(HxModuleMode::RestoreParameters, "-o");
    }
    // crypto, key-file, meta-file, parallelism, archive-to-patch and
    // memory-threshold are accepted in every mode; notify() stored them.

    // Names that become parts of the task's paths. An autonomous restore
    // names its archive file by path: only its file name, which names the
    // restore directory, is held to the rule.
    if (given("archive-name") && !check_name("Archive name", options.archive_name)) return false;
    if (given("task-id") && !check_name("Task ID", options.task_id)) return false;
    if (mode == HxModuleMode::Restore) {
      const bool named = options.autonomous
                             ? check_name("Archive file name",
                                          boost::filesystem::path(options.record_id).filename().string())
                             : check_name("Record ID", options.record_id);
      if (!named) return false;
    }
    if (mode == HxModuleMode::Restore && given("archive-to-patch") &&
        !check_name("Archive to patch", options.archive_to_patch)) {
      return false;
    }

    parce_param_string();
    return true;
  } catch (const std::exception& e) {
    HxLogStream(HxLogLvl::Error) << kParseSignature << ": " << e.what() << std::endl;
    return false;
  }
}
