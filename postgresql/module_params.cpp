// The module parameters (-e) of the PostgreSQL module, judged before a task
// changes anything: their values become paths (the restore root, the
// destinations of a deployment) and sizes, so a value that would lead
// elsewhere, or that no rule reads as meant, refuses the task.
#include "postgresql/hx_module_pg_ostrel.h"

#include "log/hx_logger.h"

#include <algorithm>
#include <iterator>
#include <string>

namespace {

// Every key a client may pass, in the order the Warning lists them: the
// framework's settings (read by the framework itself, listed for the
// Warning's benefit), the keys this module reads, and the "MODULE SETTING:"
// lines of a backup that the client passes back with a restore.
const char* const kKnownKeys[] = {"config_file",        "data_directory",   "file_list",
                                  "hxd_block_size",     "hxd_hash_algorithm", "hxd_hash_length",
                                  "last",               "lvm_snapshot_size", "numeric_owner",
                                  "pg_version",         "start_wal_location", "stop_wal_location",
                                  "tmp_catalog",        "without_deployment_restore"};

bool is_known_key(const std::string& key) {
  return std::find(std::begin(kKnownKeys), std::end(kKnownKeys), key) != std::end(kKnownKeys);
}

std::string known_keys() {
  std::string text;
  for (const char* key : kKnownKeys) text += (text.empty() ? "" : ", ") + std::string(key);
  return text;
}

bool is_digits(const std::string& text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

// Numbers joined by single dots, as the server's version reads; each number
// short enough for the version's fields.
bool is_version(const std::string& text) {
  std::string::size_type begin = 0;
  while (true) {
    const std::string::size_type dot = text.find('.', begin);
    const std::string number = text.substr(begin, dot - begin);
    if (!is_digits(number) || number.size() > 9) return false;
    if (dot == std::string::npos) return true;
    begin = dot + 1;
  }
}

// An absolute path none of whose elements is "." or "..".
bool is_plain_absolute_path(const std::string& path) {
  if (path.empty() || path[0] != '/') return false;
  std::string::size_type begin = 0;
  while (begin != std::string::npos) {
    const std::string::size_type slash = path.find('/', begin);
    const std::string element = path.substr(begin, slash == std::string::npos ? slash : slash - begin);
    if (element == "." || element == "..") return false;
    begin = slash == std::string::npos ? slash : slash + 1;
  }
  return true;
}

void log_invalid(const std::string& key, const std::string& value, const std::string& accepted) {
  HxLogStream(HxLogLvl::Error) << HxModuleUniversal::invalid_parameter(key, value, accepted) << std::endl;
}

}  // namespace

bool HxModule_PG_Ostrel::module_parameters_valid() {
  // The framework's settings first, then the keys this module reads.
  bool valid = HxModuleUniversal::module_parameters_valid();
  for (auto& [key, value] : special_params_) {
    if (!is_known_key(key)) {
      HxLogStream(HxLogLvl::Warning) << "The module parameter '" << key << "' is unknown and is ignored (known: "
                                     << known_keys() << ")" << std::endl;
      continue;
    }
    // An empty value counts as not given (find_special_param).
    if (value.empty()) continue;
    if (key == "pg_version" && !is_version(value)) {
      log_invalid(key, value, "only a version of numbers joined by dots, such as 15.4, is accepted");
      valid = false;
    } else if ((key == "data_directory" || key == "config_file") && !is_plain_absolute_path(value)) {
      log_invalid(key, value, "only an absolute path without \".\" or \"..\" elements is accepted");
      valid = false;
    } else if (key == "lvm_snapshot_size") {
      if (!is_digits(value)) {
        log_invalid(key, value,
                    "only a whole number of percent is accepted (10 to 100; a smaller number counts as 10, a "
                    "larger one as 100)");
        valid = false;
        continue;
      }
      // Compared without conversion, so that no number of digits overflows.
      const std::string number = value.substr(std::min(value.find_first_not_of('0'), value.size() - 1));
      const unsigned int percent = number.size() > 3 ? 101u : static_cast<unsigned int>(std::stoul(number));
      const unsigned int held = std::clamp(percent, 10u, 100u);
      if (held != percent) {
        HxLogStream(HxLogLvl::Warning) << "The module parameter lvm_snapshot_size is " << value
                                       << ", outside 10 to 100: the snapshots get " << held << " percent"
                                       << std::endl;
      }
      // The backup preparation reads the parameter: it finds the size in force.
      value = std::to_string(held);
    }
  }
  return valid;
}
