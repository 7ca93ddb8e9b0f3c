// Resource lists of -B (a JSON file) and the local restriction list.

// Boost's JSON parser binds with the placeholders in the global namespace
// (_1); Boost asks for this macro to keep them there without a notice.
#define BOOST_BIND_GLOBAL_PLACEHOLDERS

#include "module/hx_modules_common.h"

#include "log/hx_logger.h"

#include <boost/filesystem.hpp>
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

namespace {

// A resource list names a few paths: a larger file, or one nested deeper, is
// no resource list, and the JSON reader (which recurses once per level)
// must never meet it.
const std::uintmax_t kMaxJsonBytes = 16u << 20;
const int kMaxJsonDepth = 64;

// Why the file cannot be a resource list, or "" when it may be one.
std::string json_refusal(const std::string& path) {
  namespace fs = boost::filesystem;
  if (!fs::is_regular_file(path)) return "not a regular file";
  if (fs::file_size(path) > kMaxJsonBytes) {
    return "larger than " + std::to_string(kMaxJsonBytes) + " bytes";
  }
  std::ifstream in(path, std::ios_base::binary);
  int depth = 0;
  bool in_string = false;
  bool escaped = false;
  for (char c; in.get(c);) {
    if (in_string) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > kMaxJsonDepth) return "nested deeper than " + std::to_string(kMaxJsonDepth) + " levels";
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return std::string();
}

const char* const kParseJsonSignature = "bool ResourceList::parse_json_file(const string&)";
const char* const kListRestrictionsSignature =
    "bool ResourceList::check_local_restrictions(const std::vector<std::__cxx11::basic_string<char> >&) const";
const char* const kReadRestrictionsSignature =
    "std::vector<std::__cxx11::basic_string<char> > HxModuleUniversal::read_local_restrictions() const";
}  // namespace

void ResourceList::clear() { resources_.clear(); }

bool ResourceList::is_empty() const { return resources_.empty(); }

bool ResourceList::parse_json_file(const std::string& path) {
  clear();
  try {
    if (!boost::filesystem::exists(path)) {
      HxLogStream(HxLogLvl::Error) << kParseJsonSignature << ": resource list file does not exist: " << path
                                   << std::endl;
      return false;
    }
    const std::string refusal = json_refusal(path);
    if (!refusal.empty()) throw boost::property_tree::json_parser_error(refusal, path, 0);
    boost::property_tree::ptree document;
    boost::property_tree::read_json(path, document);
    // The names are the "path" members of each top-level element; a "path"
    // whose value is an object or an array has no text and gives "".
    for (const auto& element : document) {
      for (const auto& member : element.second) {
        if (member.first == "path") resources_.push_back(member.second.data());
      }
    }
  } catch (const boost::property_tree::json_parser_error& e) {
    clear();
    HxLogStream(HxLogLvl::Error) << kParseJsonSignature << ": json parser error: " << e.what() << std::endl;
    return false;
  } catch (const boost::filesystem::filesystem_error& e) {
    clear();
    HxLogStream(HxLogLvl::Error) << kParseJsonSignature << ": filesystem error: " << e.what() << std::endl;
    return false;
  }
  if (resources_.empty()) {
    HxLogStream(HxLogLvl::Warning) << kParseJsonSignature << ": there is no any resource in json file: " << path
                                   << std::endl;
  }
  return true;
}

bool ResourceList::check_local_restrictions(const std::vector<std::string>& restrictions) const {
  for (const std::string& entry : restrictions) {
    for (const std::string& name : resources_) {
      if (name == entry) {
        HxLogStream(HxLogLvl::Error) << kListRestrictionsSignature
                                     << ": Unable to backup this resource from ResourceList: " << entry
                                     << ". Local restriction" << std::endl;
        return false;
      }
    }
  }
  return true;
}

std::vector<std::string> HxModuleUniversal::read_local_restrictions() const {
  std::vector<std::string> entries;
  const std::string& path = options_.restriction_list_file;
  // No list: nothing is restricted. (The error-code form of status() also
  // sets the code for an absent file, so absence is told by the type.)
  boost::system::error_code ec;
  if (boost::filesystem::status(path, ec).type() == boost::filesystem::file_not_found) return entries;
  std::ifstream in(path, std::ios_base::binary);
  if (!in.is_open()) {
    HxLogStream(HxLogLvl::Error) << kReadRestrictionsSignature << ": unable to open " << path << std::endl;
    return entries;
  }
  // Every line as read, without its line end (a line feed, or a carriage
  // return and a line feed: a list written with CRLF line ends restricts as
  // one written with LF ends); a last line without one still counts.
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    entries.push_back(line);
  }
  return entries;
}

bool HxModuleUniversal::check_local_restrictions() const {
  for (const std::string& entry : read_local_restrictions()) {
    if (entry == options_.resource) return false;
  }
  return true;
}
