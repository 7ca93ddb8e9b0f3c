// The check of a file to restore for holes: a sparse file lacks data that a
// restore needs, most likely because the restore ran out of space.
#include "module/hx_modules_common.h"

#include "log/hx_logger.h"
#include "utils/hx_utils_common.h"

#include <boost/filesystem.hpp>

#include <iomanip>
#include <sstream>
#include <string>

namespace {
const char* const kSparseSignature = "int HxModuleUniversal::check_file_to_restore_for_sparse(const string&) const";
}  // namespace

int HxModuleUniversal::check_file_to_restore_for_sparse(const std::string& file) const {
  namespace fs = boost::filesystem;
  bool sparse = false;
  std::string error;
  if (!hx_utils_common::is_sparse_file(file, sparse, error)) {
    HxLogStream(HxLogLvl::Warning) << kSparseSignature << ": unable to check sparse status of "
                                   << hx_utils_common::quote_string(file) << " file, error: " << error << std::endl;
    return 0;
  }
  if (!sparse) return 0;

  const fs::path directory(options_.tmp_operation_directory);
  boost::system::error_code ec;
  const fs::space_info space = fs::space(directory, ec);
  // When the space cannot be read, the figure is "Unknown", as for a file
  // system that reports no capacity.
  std::string figure = "Unknown";
  if (ec) {
    HxLogStream(HxLogLvl::Warning) << kSparseSignature << ": unable to get space info of " << directory
                                   << ", error: " << ec << std::endl;
  } else if (space.capacity != 0) {
    const float percent = static_cast<float>(space.free) / static_cast<float>(space.capacity) * 100;
    std::ostringstream text;
    text << std::fixed << std::setprecision(6) << percent << "%";
    figure = text.str();
  }
  HxLogStream(HxLogLvl::Error) << kSparseSignature << ": file " << hx_utils_common::quote_string(file)
                               << " is a sparse file, i.e. it doesn't contain all the data required for restore."
                               << " Probably it is not enough free space in a " << directory
                               << " folder. Free space is: " << figure << std::endl;
  return 7;
}
