// Module parameters: the key:value list of -e. Known keys set the framework's
// settings (the last occurrence wins); every other key becomes a custom
// parameter that the concrete module reads by key (the first occurrence wins).
//
// A setting's value outside those its rule reads as meant (file_list:yes,
// which the rule would take for false, a block size with letters) and an
// item without ":" are recorded while parsing; module_parameters_valid then
// refuses the task with an Error for each, before anything is changed.
#include "module/hx_modules_common.h"

#include "log/hx_logger.h"

#include <boost/algorithm/string.hpp>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

// Reads digits only, as std::stoi in base 10 reads them; false for anything
// else (a sign, blanks, trailing text) and for a number beyond int.
bool read_digits(const std::string& value, unsigned int& out) {
  if (value.empty() || value.find_first_not_of("0123456789") != std::string::npos) return false;
  try {
    out = static_cast<unsigned int>(std::stoi(value, nullptr, 10));
    return true;
  } catch (const std::out_of_range&) {
    return false;
  }
}

}  // namespace

std::string HxModuleUniversal::invalid_parameter(const std::string& key, const std::string& value,
                                                 const std::string& accepted) {
  return "The module parameter " + key + " has an invalid value '" + value + "': " + accepted;
}

void HxModuleUniversal::parce_param_string() {
  auto refuse = [this](const std::string& key, const std::string& value, const char* accepted) {
    parameter_refusals_.push_back(invalid_parameter(key, value, accepted));
  };
  auto flag = [&refuse](const std::string& key, const std::string& value, bool& setting) {
    setting = value == "t" || value == "true";
    if (!setting && value != "f" && value != "false") refuse(key, value, "only t, true, f or false is accepted");
  };
  auto number = [&refuse](const std::string& key, const std::string& value, unsigned int& setting) {
    if (!read_digits(value, setting)) refuse(key, value, "only digits are accepted, a number up to 2147483647");
  };

  std::vector<std::string> items;
  boost::algorithm::split(items, options_.module_params, boost::algorithm::is_any_of(","));
  for (const std::string& item : items) {
    if (item.empty()) continue;
    const std::string::size_type separator = item.find(':');
    if (separator == std::string::npos) {
      HxLogStream(HxLogLvl::Warning) << "void HxModuleUniversal::parce_param_string()"
                                     << ": " << "Separator '" << ":" << "' is not found in string: " << item
                                     << std::endl;
      // "last" without its value would otherwise skip a deployment unnoticed.
      parameter_refusals_.push_back("The module parameter item '" + item +
                                    "' has no ':': only key:value items are accepted");
      continue;
    }
    const std::string key = item.substr(0, separator);
    const std::string value = item.substr(separator + 1);
    if (key == "hxd_hash_algorithm") {
      hxd_hash_algorithm_ = value;
    } else if (key == "hxd_hash_length") {
      number(key, value, hxd_hash_length_);
    } else if (key == "hxd_block_size") {
      number(key, value, hxd_block_size_);
    } else if (key == "file_list") {
      flag(key, value, file_list_);
    } else if (key == "numeric_owner") {
      flag(key, value, numeric_owner_);
    } else if (key == "last") {
      last_ = value == "true";
      if (!last_ && value != "false") refuse(key, value, "only true or false is accepted");
    } else if (key == "tmp_catalog") {
      tmp_catalog_ = value;
    } else if (key == "without_deployment_restore") {
      if (value == "yes") {
        without_deployment_restore_ = true;
      } else if (value != "no") {
        refuse(key, value, "only yes or no is accepted");
      }
    } else {
      special_params_.emplace(key, value);  // an existing key keeps its first value
    }
  }
  load_custom_module_parameters();
}

bool HxModuleUniversal::find_special_param(const std::string& key, std::string& value) const {
  const auto it = special_params_.find(key);
  if (it == special_params_.end()) return false;
  value = it->second;
  return !value.empty();
}

bool HxModuleUniversal::module_parameters_valid() {
  for (const std::string& refusal : parameter_refusals_) HxLogStream(HxLogLvl::Error) << refusal << std::endl;
  return parameter_refusals_.empty();
}
