#include "crypto/ctr.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace cppcrypto {

namespace {

// out = in XOR ks for one key-stream block of nb bytes: 16 bytes at a time
// in vector registers, the rest byte by byte. Code built for SSE2 runs only
// on processors that have it (every x86-64 processor does).
void xor_block(const unsigned char* in, const unsigned char* ks, unsigned char* out, size_t nb) {
  size_t done = 0;
#if defined(__SSE2__)
  for (; done + 16 <= nb; done += 16) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + done));
    const __m128i k = _mm_loadu_si128(reinterpret_cast<const __m128i*>(ks + done));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + done), _mm_xor_si128(a, k));
  }
#endif
  for (; done < nb; done++) out[done] = in[done] ^ ks[done];
}

}  // namespace

stream_cipher::~stream_cipher() {}

ctr::ctr(const block_cipher& cipher)
    : pos(0), nb_(cipher.blocksize() / 8), cipher_(cipher.clone()) {
  block_.reset(new unsigned char[nb_]());
  iv_.reset(new unsigned char[nb_]());
}

ctr::~ctr() { clear(); }

size_t ctr::keysize() const { return cipher_->keysize(); }

size_t ctr::ivsize() const { return cipher_->blocksize(); }

stream_cipher* ctr::clone() const {
  return new ctr(*cipher_);  // GCOVR_EXCL_BR_LINE: the cleanup after a failed construction (out of memory)
}

void ctr::clear() {
  volatile unsigned char* b = block_.get();
  volatile unsigned char* v = iv_.get();
  for (size_t i = 0; i < nb_; i++) b[i] = v[i] = 0;
  cipher_->clear();
}

void ctr::init(const unsigned char* key, size_t /*keylen*/, const unsigned char* iv, size_t ivlen) {
  cipher_->init(key, block_cipher::encryption);
  // Only a block's worth of IV fits the counter; more is not read.
  if (ivlen > nb_) ivlen = nb_;
  if (ivlen) std::memcpy(iv_.get(), iv, ivlen);
  std::memset(iv_.get() + ivlen, 0, nb_ - ivlen);
  pos = 0;
}

void ctr::increment_counter() {
  for (size_t i = nb_; i-- > 0;) {
    if (++iv_[i] != 0) break;
  }
}

void ctr::encrypt(const unsigned char* in, size_t len, unsigned char* out) {
  size_t i = 0;
  if (pos > 0 && pos < nb_) {
    const size_t n = len < nb_ - pos ? len : nb_ - pos;
    for (size_t k = 0; k < n; k++) out[k] = in[k] ^ block_[pos + k];
    pos += n;
    i = n;
  }
  while (i < len) {
    pos = 0;
    cipher_->encrypt_block(iv_.get(), block_.get());
    increment_counter();
    const size_t left = len - i;
    if (left < nb_) {
      for (size_t k = 0; k < left; k++) out[i + k] = in[i + k] ^ block_[k];
      pos = left;
      i = len;
    } else {
      xor_block(in + i, block_.get(), out + i, nb_);
      pos = nb_;
      i += nb_;
    }
  }
}

void ctr::decrypt(const unsigned char* in, size_t len, unsigned char* out) { encrypt(in, len, out); }

}  // namespace cppcrypto
