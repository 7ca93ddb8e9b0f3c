#include "crypto/block_cipher.h"

namespace cppcrypto {

block_cipher::~block_cipher() {}

void block_cipher::encrypt_blocks(const unsigned char* in, unsigned char* out, size_t n) {
  const size_t bs = blocksize() / 8;
  for (size_t i = 0; i < n; i++, in += bs, out += bs) encrypt_block(in, out);
}

void block_cipher::decrypt_blocks(const unsigned char* in, unsigned char* out, size_t n) {
  const size_t bs = blocksize() / 8;
  for (size_t i = 0; i < n; i++, in += bs, out += bs) decrypt_block(in, out);
}

}  // namespace cppcrypto
