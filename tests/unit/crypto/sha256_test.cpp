#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "crypto/sha256.h"
#include "crypto_test_util.h"

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

const std::string kMsg448 = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
const std::string kMsg896 =
    "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu";

}  // namespace

TEST(Sha256, SizesInBits) {
  sha256 h;
  EXPECT_EQ(h.hashsize(), 256u);
  EXPECT_EQ(h.blocksize(), 512u);
}

TEST(Sha256, Fips180Vectors) {
  sha256 h;
  EXPECT_EQ(digest(h, ""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(digest(h, "abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(digest(h, kMsg448), "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(digest(h, kMsg896), "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1");
}

TEST(Sha256, OneMillionA) {
  sha256 h;
  EXPECT_EQ(digest(h, std::string(1000000, 'a')),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
  // The same message fed in 1000 pieces of 1000 bytes.
  const std::string piece(1000, 'a');
  h.init();
  for (int i = 0; i < 1000; i++)
    h.update(reinterpret_cast<const unsigned char*>(piece.data()), piece.size());
  unsigned char out[32];
  h.final(out);
  EXPECT_EQ(hex(out, 32), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

// Lengths around the padding boundaries: 55 bytes leave room for the length in
// the last block, 56 need a further block, 64 and 128 are whole blocks.
TEST(Sha256, PaddingBoundaries) {
  struct Case {
    size_t len;
    const char* digest;
  } cases[] = {
      {55, "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
      {56, "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
      {63, "7d3e74a05d7db15bce4ad9ec0658ea98e3f06eeecf16b4c6fff2da457ddc2f34"},
      {64, "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
      {65, "635361c48bb9eab14198e76ea8ab7f1a41685d6ad62aa9146d301d4f17eb0ae0"},
      {119, "31eba51c313a5c08226adf18d4a359cfdfd8d2e816b13f4af952f7ea6584dcfb"},
      {120, "2f3d335432c70b580af0e8e1b3674a7c020d683aa5f73aaaedfdc55af904c21c"},
      {128, "6836cf13bac400e9105071cd6af47084dfacad4e5e302c94bfed24e013afb73e"},
  };
  sha256 h;
  for (const Case& c : cases) EXPECT_EQ(digest(h, std::string(c.len, 'a')), c.digest) << c.len;
}

// Any split of a message into update() calls gives the digest of one call.
TEST(Sha256, SplitUpdates) {
  const std::vector<unsigned char> msg = crypto_test::pseudo_random(1000, 7);
  sha256 h;
  unsigned char whole[32];
  h.hash_string(msg.data(), msg.size(), whole);
  for (size_t piece : {size_t(1), size_t(63), size_t(64), size_t(65), size_t(999)}) {
    h.init();
    for (size_t off = 0; off < msg.size(); off += piece)
      h.update(msg.data() + off, std::min(piece, msg.size() - off));
    unsigned char out[32];
    h.final(out);
    EXPECT_EQ(hex(out, 32), hex(whole, 32)) << "pieces of " << piece;
  }
  // Mixed sizes, including empty updates and a partial block followed by
  // several whole blocks.
  h.init();
  const size_t sizes[] = {0, 3, 0, 200, 61, 64, 1, 128, 543};
  size_t off = 0;
  for (size_t s : sizes) {
    h.update(msg.data() + off, s);
    off += s;
  }
  ASSERT_EQ(off, msg.size());
  unsigned char out[32];
  h.final(out);
  EXPECT_EQ(hex(out, 32), hex(whole, 32));
}

TEST(Sha256, ObjectIsReusableAfterInit) {
  sha256 h;
  EXPECT_EQ(digest(h, "abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(digest(h, "abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

// final() leaves the state byte-swapped: without init() the next digest is not
// that of the next message alone.
TEST(Sha256, FinalWithoutInitIsSpent) {
  sha256 h;
  h.init();
  unsigned char out[32];
  h.final(out);
  EXPECT_EQ(hex(out, 32), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  h.update(reinterpret_cast<const unsigned char*>("abc"), 3);
  h.final(out);
  EXPECT_NE(hex(out, 32), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  h.init();
  h.update(reinterpret_cast<const unsigned char*>("abc"), 3);
  h.final(out);
  EXPECT_EQ(hex(out, 32), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(Sha256, CloneCarriesNoMessageState) {
  sha256 h;
  h.init();
  const std::string junk(100, 'x');
  h.update(reinterpret_cast<const unsigned char*>(junk.data()), junk.size());
  std::unique_ptr<crypto_hash> c(h.clone());
  EXPECT_EQ(c->hashsize(), 256u);
  EXPECT_EQ(digest(*c, "abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  // The source keeps its own message.
  unsigned char out[32];
  h.final(out);
  sha256 ref;
  EXPECT_EQ(hex(out, 32), digest(ref, junk));
}

TEST(Sha256, HashStringOverloads) {
  sha256 h;
  const std::string with_zero("ab\0cd", 5);
  EXPECT_EQ(with_zero.size(), 5u);
  // All five bytes count, including those after the zero byte.
  EXPECT_EQ(digest(h, with_zero), "1bd95cf6379b94fd3b6ceb1390b70b822c76442c4bfb8273b941e09d8dfd9b56");
  EXPECT_NE(digest(h, with_zero), digest(h, "ab"));
  unsigned char a[32], b[32];
  h.hash_string(with_zero.data(), with_zero.size(), a);
  h.hash_string(reinterpret_cast<const unsigned char*>(with_zero.data()), with_zero.size(), b);
  EXPECT_EQ(hex(a, 32), "1bd95cf6379b94fd3b6ceb1390b70b822c76442c4bfb8273b941e09d8dfd9b56");
  EXPECT_EQ(hex(b, 32), hex(a, 32));
}

// A derived class that exposes the protected state.
class inspectable_sha256 : public sha256 {
 public:
  const uint32_t* state() const { return H.get(); }
  const unsigned char* partial() const { return m; }
  size_t held() const { return pos; }
  uint64_t length() const { return total; }
};

TEST(Sha256, StateIsAligned) {
  inspectable_sha256 h;
  EXPECT_EQ(reinterpret_cast<uintptr_t>(h.state()) % 32, 0u);
}

TEST(Sha256, ClearWipesStateAndPartialBlock) {
  inspectable_sha256 h;
  h.init();
  h.update(reinterpret_cast<const unsigned char*>("0123456789"), 10);
  EXPECT_EQ(h.held(), 10u);
  EXPECT_EQ(h.length(), 80u);
  h.clear();
  for (int i = 0; i < 8; i++) EXPECT_EQ(h.state()[i], 0u);
  for (int i = 0; i < 64; i++) EXPECT_EQ(h.partial()[i], 0);
  // pos and total are left as they are.
  EXPECT_EQ(h.held(), 10u);
  EXPECT_EQ(h.length(), 80u);
}

TEST(Sha224, VectorsAndSizes) {
  sha224 h;
  EXPECT_EQ(h.hashsize(), 224u);
  EXPECT_EQ(h.blocksize(), 512u);
  EXPECT_EQ(digest(h, ""), "d14a028c2a3a2bc9476102bb288234c415a2b01f828ea62ac5b3e42f");
  EXPECT_EQ(digest(h, "abc"), "23097d223405d8228642a477bda255b32aadbce4bda0b3f7e36c9da7");
  EXPECT_EQ(digest(h, kMsg448), "75388b16512776cc5dba5da1fd890150b0c6455cb4f58b1952522525");
  EXPECT_EQ(digest(h, std::string(55, 'a')), "fb0bd626a70c28541dfa781bb5cc4d7d7f56622a58f01a0b1ddd646f");
  EXPECT_EQ(digest(h, std::string(56, 'a')), "d40854fc9caf172067136f2e29e1380b14626bf6f0dd06779f820dcd");
  EXPECT_EQ(digest(h, std::string(1000000, 'a')),
            "20794655980c91d8bbb4c1ea97618a4bf03f42581948b2ee4ee7ad67");
}

TEST(Sha224, WritesExactly28Bytes) {
  sha224 h;
  unsigned char out[40];
  std::memset(out, 0xEE, sizeof out);
  h.hash_string(std::string("abc"), out);
  EXPECT_EQ(hex(out, 28), "23097d223405d8228642a477bda255b32aadbce4bda0b3f7e36c9da7");
  for (int i = 28; i < 40; i++) EXPECT_EQ(out[i], 0xEE) << i;
}

TEST(Sha224, CloneIsSha224) {
  sha224 h;
  std::unique_ptr<crypto_hash> c(h.clone());
  EXPECT_EQ(c->hashsize(), 224u);
  EXPECT_EQ(digest(*c, "abc"), "23097d223405d8228642a477bda255b32aadbce4bda0b3f7e36c9da7");
}

namespace {

// Exposes the protected size checks.
class sized_hash : public sha256 {
 public:
  using sha256::validate_hash_size;
};

std::string error_of(std::function<void()> f) {
  try {
    f();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "<no error>";
}

}  // namespace

TEST(CryptoHash, ValidateHashSizeAgainstMaximum) {
  sized_hash h;
  EXPECT_EQ(error_of([&] { h.validate_hash_size(0, 512); }), "hash size can't be zero");
  EXPECT_EQ(error_of([&] { h.validate_hash_size(12, 512); }),
            "cppcrypto does not support non-byte hash sizes");
  EXPECT_EQ(error_of([&] { h.validate_hash_size(520, 512); }), "invalid hash size");
  EXPECT_EQ(error_of([&] { h.validate_hash_size(512, 512); }), "<no error>");
  EXPECT_EQ(error_of([&] { h.validate_hash_size(8, 512); }), "<no error>");
}

TEST(CryptoHash, ValidateHashSizeAgainstList) {
  sized_hash h;
  EXPECT_EQ(error_of([&] { h.validate_hash_size(0, {224, 256}); }), "hash size can't be zero");
  EXPECT_EQ(error_of([&] { h.validate_hash_size(12, {224, 256}); }), "invalid hash size");
  EXPECT_EQ(error_of([&] { h.validate_hash_size(384, {224, 256}); }), "invalid hash size");
  EXPECT_EQ(error_of([&] { h.validate_hash_size(224, {224, 256}); }), "<no error>");
  EXPECT_EQ(error_of([&] { h.validate_hash_size(256, {224, 256}); }), "<no error>");
}
