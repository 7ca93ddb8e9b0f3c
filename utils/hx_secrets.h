// Constants compiled into the program.
#pragma once

#include <string>

namespace hx_utils_common {
namespace server {

// Key (93 ASCII digits) of the HMAC-SHA-256 digests that name the resource
// lock and form the machine identifier.
inline std::string mac_key() {
  return "503833091123403775571940573952404231209384781223379277401957201399722427566546807389593109560";
}

// Pass phrase whose first two bytes start the initial counter block of the
// configuration-password cipher.
inline std::string pass_phrase() { return "f89imZKgmf6N37E"; }

}  // namespace server
}  // namespace hx_utils_common
