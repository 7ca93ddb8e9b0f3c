// Module parameters: the key:value list of -e. Known keys set the framework's
// settings (the last occurrence wins); every other key becomes a custom
// parameter that the concrete module reads by key (the first occurrence wins).
#include "module/hx_modules_common.h"

#include "log/hx_logger.h"

#include <boost/algorithm/string.hpp>

#include <string>
#include <vector>

void HxModuleUniversal::parce_param_string() {
  std::vector<std::string> items;
  boost::algorithm::split(items, options_.module_params, boost::algorithm::is_any_of(","));
  for (const std::string& item : items) {
    if (item.empty()) continue;
    const std::string::size_type separator = item.find(':');
    if (separator == std::string::npos) {
      HxLogStream(HxLogLvl::Warning) << "void HxModuleUniversal::parce_param_string()"
                                     << ": " << "Separator '" << ":" << "' is not found in string: " << item
                                     << std::endl;
      continue;
    }
    const std::string key = item.substr(0, separator);
    const std::string value = item.substr(separator + 1);
    if (key == "hxd_hash_algorithm") {
      hxd_hash_algorithm_ = value;
    } else if (key == "hxd_hash_length") {
      // A value that is not a number throws; the command line is then refused.
      hxd_hash_length_ = static_cast<unsigned int>(std::stoi(value, nullptr, 10));
    } else if (key == "hxd_block_size") {
      hxd_block_size_ = static_cast<unsigned int>(std::stoi(value, nullptr, 10));
    } else if (key == "file_list") {
      file_list_ = value == "t" || value == "true";
    } else if (key == "numeric_owner") {
      numeric_owner_ = value == "t" || value == "true";
    } else if (key == "last") {
      last_ = value == "true";
    } else if (key == "tmp_catalog") {
      tmp_catalog_ = value;
    } else if (key == "without_deployment_restore") {
      if (value == "yes") without_deployment_restore_ = true;
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
