// Machine identifier and the configuration-password cipher.
//
// A password is enciphered with Kuznyechik in CTR mode under a key taken from
// the machine identifier, so the enciphered text deciphers only on a host with
// the same node name, machine id and system name.
#include "utils/hx_utils_common.h"

#include "crypto/ctr.h"
#include "crypto/hmac.h"
#include "crypto/kuznyechik.h"
#include "crypto/sha256.h"
#include "utils/hx_secrets.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <vector>

#include <sys/utsname.h>

namespace hx_utils_common {
namespace server {

namespace {

constexpr std::size_t kBlockBytes = 16;  // Kuznyechik block
constexpr std::size_t kKeyBytes = 32;    // Kuznyechik key (256 bits)
constexpr std::size_t kIvBytes = 2;      // the start of the initial counter block

std::string lower_hex(const unsigned char* bytes, std::size_t count) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  text.reserve(count * 2);
  for (std::size_t i = 0; i < count; ++i) {
    text += digits[bytes[i] >> 4];
    text += digits[bytes[i] & 0x0f];
  }
  return text;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// XORs data with the key stream of Kuznyechik-CTR keyed from the identifier:
// key = its first 32 characters, counter block = the pass phrase's first two
// bytes followed by zero bytes. Enciphering and deciphering are this same step.
void apply_cipher(std::vector<unsigned char>& data, const std::string& identifier) {
  unsigned char key[kKeyBytes] = {};
  std::memcpy(key, identifier.data(), std::min(identifier.size(), kKeyBytes));
  unsigned char iv[kIvBytes] = {};
  const std::string phrase = pass_phrase();
  std::memcpy(iv, phrase.data(), std::min(phrase.size(), kIvBytes));

  cppcrypto::ctr cipher(cppcrypto::kuznyechik{});
  cipher.init(key, kKeyBytes, iv, kIvBytes);
  if (!data.empty()) cipher.encrypt(data.data(), data.size(), data.data());
  std::memset(key, 0, sizeof key);
}

// First line of /etc/machine-id without its line end; empty when unreadable.
std::string machine_id() {
  std::ifstream in("/etc/machine-id");
  std::string line;
  if (in) std::getline(in, line);
  return line;
}

}  // namespace

std::string hardware_id_from(const std::string& nodename, const std::string& machine_id,
                             const std::string& sysname) {
  cppcrypto::sha256 hash;
  cppcrypto::hmac mac(hash, mac_key());
  unsigned char digest[32];
  mac.hash_string(nodename + machine_id + sysname, digest);
  return lower_hex(digest, sizeof digest);
}

std::string hardware_id() {
  struct utsname names;
  std::string sysname;
  if (::uname(&names) == 0) sysname = names.sysname;
  return hardware_id_from(get_nodename(), machine_id(), sysname);
}

void encrypt_string_with_id(std::string& text, const std::string& identifier) {
  // Always at least one NUL byte of padding, so the deciphered text ends
  // before the first NUL.
  const std::size_t padded = (text.size() / kBlockBytes + 1) * kBlockBytes;
  std::vector<unsigned char> data(padded, 0);
  std::copy(text.begin(), text.end(), data.begin());
  apply_cipher(data, identifier);
  text = lower_hex(data.data(), data.size());
}

void decrypt_string_with_id(std::string& text, const std::string& identifier) {
  if (text.size() % 2 != 0) {
    throw std::invalid_argument("decrypt_string: hexadecimal text of odd length (" +
                                std::to_string(text.size()) + " characters)");
  }
  std::vector<unsigned char> data(text.size() / 2);
  for (std::size_t i = 0; i < data.size(); ++i) {
    const int high = hex_value(text[2 * i]);
    const int low = hex_value(text[2 * i + 1]);
    if (high < 0 || low < 0) {
      throw std::invalid_argument("decrypt_string: not a hexadecimal digit at position " +
                                  std::to_string(high < 0 ? 2 * i : 2 * i + 1));
    }
    data[i] = static_cast<unsigned char>(high << 4 | low);
  }
  apply_cipher(data, identifier);
  const auto end = std::find(data.begin(), data.end(), 0);
  text.assign(data.begin(), end);
}

void encrypt_string(std::string& text) { encrypt_string_with_id(text, hardware_id()); }

void decrypt_string(std::string& text) { decrypt_string_with_id(text, hardware_id()); }

}  // namespace server
}  // namespace hx_utils_common
