#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "crypto/cpuinfo.h"
#include "crypto/sha256.h"
#include "crypto_test_util.h"

using cppcrypto::cpu_info;
using cppcrypto::crypto_hash;
using cppcrypto::sha224;
using cppcrypto::sha256;
using crypto_test::hex;

namespace {

std::string digest(crypto_hash& h, const std::string& msg) {
  std::vector<unsigned char> out(h.hashsize() / 8);
  h.hash_string(msg, out.data());
  return hex(out);
}

const std::string kAbc256 = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
const std::string kMsg448 = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";

// One hash object per block function, chosen by forcing the feature words the
// constructor decides on, so every function runs whatever the dispatch of
// this processor would pick. A function the processor cannot execute is left
// out (and named in the test's output).
std::vector<std::pair<std::string, std::unique_ptr<sha256>>> every_block_function() {
  auto features = [](uint32_t edx1, uint32_t ecx1, uint32_t ebx7) {
    cpu_info::cpu_info_impl f([](uint32_t, uint32_t, uint32_t regs[4]) { regs[0] = regs[1] = regs[2] = regs[3] = 0; });
    f.edx1_ = edx1;
    f.ecx1_ = ecx1;
    f.ebx7_ = ebx7;
    return f;
  };
  std::vector<std::pair<std::string, std::unique_ptr<sha256>>> hashes;
  hashes.emplace_back("portable", std::make_unique<sha256>(features(0, 0, 0)));
  const struct {
    const char* name;
    bool available;
    uint32_t edx1, ecx1, ebx7;
  } vector_paths[] = {
      {"sse2", cpu_info::sse2(), 1u << 26, 0, 0},
      {"sse4", cpu_info::sse41(), 1u << 26, 1u << 19, 0},
      {"avx2", cpu_info::avx2() && cpu_info::bmi2() && cpu_info::sse41(), 1u << 26, 1u << 19, (1u << 5) | (1u << 8)},
      {"avx2 without bmi2: sse4", cpu_info::sse41(), 1u << 26, 1u << 19, 1u << 5},
  };
  for (const auto& p : vector_paths) {
    if (p.available)
      hashes.emplace_back(p.name, std::make_unique<sha256>(features(p.edx1, p.ecx1, p.ebx7)));
    else
      std::cout << "[ NOTE ] this processor cannot run the " << p.name << " block function" << std::endl;
  }
  return hashes;
}

// Exposes the protected state and size checks.
class inspectable_sha256 : public sha256 {
 public:
  using sha256::validate_hash_size;
  const uint32_t* state() const { return H.get(); }
  const unsigned char* partial() const { return m; }
  size_t held() const { return pos; }
};

}  // namespace

// FIPS 180-4 vectors and lengths around the padding boundaries: 55 bytes leave
// room for the length, 56 need a further block, 64 and 128 are whole blocks;
// through every block function.
TEST(Sha256, KnownDigests) {
  const struct {
    std::string msg;
    const char* digest;
  } cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", kAbc256.c_str()},
      {kMsg448, "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string("ab\0cd", 5), "1bd95cf6379b94fd3b6ceb1390b70b822c76442c4bfb8273b941e09d8dfd9b56"},
      {std::string(55, 'a'), "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
      {std::string(56, 'a'), "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
      {std::string(64, 'a'), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
      {std::string(128, 'a'), "6836cf13bac400e9105071cd6af47084dfacad4e5e302c94bfed24e013afb73e"},
      {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (auto& [name, h] : every_block_function()) {
    // one object, reused: hash_string starts each message with init()
    for (const auto& c : cases) EXPECT_EQ(digest(*h, c.msg), c.digest) << name << " " << c.msg.size();
  }
  sha256 h;
  unsigned char a[32];
  h.hash_string("ab\0cd", 5, a);  // the char* form counts the bytes after the zero too
  EXPECT_EQ(hex(a, 32), "1bd95cf6379b94fd3b6ceb1390b70b822c76442c4bfb8273b941e09d8dfd9b56");
}

// Any split of a message into update() calls, empty ones included, gives its
// digest (computed with Python's hashlib), through every block function.
TEST(Sha256, SplitUpdates) {
  const std::vector<unsigned char> msg = crypto_test::pseudo_random(1000, 7);
  const std::string whole = "7e4f2bbb2d6a749ebd48ae1bae9cd0457b7580902e996e299c65256cbaa8f861";  // Python hashlib
  const std::vector<std::vector<size_t>> splits = {{1000}, {1}, {63}, {64}, {65}, {999}, {0, 3, 0, 200, 61, 64, 1, 128, 543}};
  for (auto& [name, h] : every_block_function()) {
    for (const auto& sizes : splits) {
      unsigned char out[32];
      h->init();
      for (size_t off = 0, i = 0; off < msg.size(); i++) {
        const size_t n = std::min(sizes[i % sizes.size()], msg.size() - off);
        h->update(msg.data() + off, n);
        off += n;
      }
      h->final(out);
      EXPECT_EQ(hex(out, 32), whole) << name << ", first piece " << sizes[0];
    }
  }
}

// A clone carries nothing of the source's message, and the source keeps its own.
TEST(Sha256, CloneAndClear) {
  sha256 h;
  unsigned char out[32];
  const std::string junk(100, 'x');
  h.init();
  h.update(reinterpret_cast<const unsigned char*>(junk.data()), junk.size());
  std::unique_ptr<crypto_hash> c(h.clone());
  EXPECT_EQ(digest(*c, "abc"), kAbc256);
  h.final(out);
  sha256 ref;
  EXPECT_EQ(hex(out, 32), digest(ref, junk));

  // The state is 32-byte aligned (the SSE2 block function needs it); clear()
  // wipes it and the partial block, leaving pos as it is.
  inspectable_sha256 s;
  EXPECT_EQ(reinterpret_cast<uintptr_t>(s.state()) % 32, 0u);
  s.init();
  s.update(reinterpret_cast<const unsigned char*>("0123456789"), 10);
  uint32_t saved[8] = {};
  uint64_t bits = 7;
  EXPECT_FALSE(s.save_state(saved, bits));  // a partial block is not in the state
  EXPECT_EQ(bits, 7u);
  s.clear();
  for (int i = 0; i < 8; i++) EXPECT_EQ(s.state()[i], 0u);
  for (int i = 0; i < 64; i++) EXPECT_EQ(s.partial()[i], 0);
  EXPECT_EQ(s.held(), 10u);
}

TEST(Sha224, VectorsSizesAndClone) {
  sha224 h;
  EXPECT_EQ(h.hashsize(), 224u);
  EXPECT_EQ(h.blocksize(), 512u);
  EXPECT_EQ(digest(h, ""), "d14a028c2a3a2bc9476102bb288234c415a2b01f828ea62ac5b3e42f");
  EXPECT_EQ(digest(h, kMsg448), "75388b16512776cc5dba5da1fd890150b0c6455cb4f58b1952522525");
  EXPECT_EQ(digest(h, std::string(56, 'a')), "d40854fc9caf172067136f2e29e1380b14626bf6f0dd06779f820dcd");
  EXPECT_EQ(digest(h, std::string(1000000, 'a')), "20794655980c91d8bbb4c1ea97618a4bf03f42581948b2ee4ee7ad67");
  // Exactly 28 bytes are written, by the object and by its clone.
  std::unique_ptr<crypto_hash> c(h.clone());
  for (crypto_hash* x : {static_cast<crypto_hash*>(&h), c.get()}) {
    unsigned char out[40];
    std::memset(out, 0xEE, sizeof out);
    x->hash_string(std::string("abc"), out);
    EXPECT_EQ(hex(out, 28), "23097d223405d8228642a477bda255b32aadbce4bda0b3f7e36c9da7");
    for (int i = 28; i < 40; i++) EXPECT_EQ(out[i], 0xEE) << i;
  }
}

TEST(CryptoHash, ValidateHashSize) {
  inspectable_sha256 h;
  auto error_of = [&](size_t hs, bool list) -> std::string {
    try {
      list ? h.validate_hash_size(hs, {224, 256}) : h.validate_hash_size(hs, 512);
    } catch (const std::runtime_error& e) {
      return e.what();
    }
    return "";
  };
  const struct {
    size_t hs;
    bool list;
    const char* error;
  } cases[] = {{0, false, "hash size can't be zero"}, {12, false, "cppcrypto does not support non-byte hash sizes"},
               {520, false, "invalid hash size"}, {512, false, ""}, {8, false, ""},
               {0, true, "hash size can't be zero"}, {12, true, "invalid hash size"},
               {384, true, "invalid hash size"}, {224, true, ""}, {256, true, ""}};
  for (const auto& c : cases) EXPECT_EQ(error_of(c.hs, c.list), c.error) << c.hs << (c.list ? " list" : " max");
}
