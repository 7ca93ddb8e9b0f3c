// crypto_compare: measures, in one run on one machine, our primitives against
// OpenSSL using the same instruction set, and prints one line per pair:
//
//   NAME ours=MBPS anchor=MBPS ratio=R      (ratio = ours / anchor)
//
//   sha256-avx2      our AVX2+BMI2 block function (through sha256, 16 KiB
//                    messages) vs OpenSSL SHA-256 with the SHA extensions
//                    masked, so that it runs its AVX2 code.
//   sha256-sse4      our SSE4 block function (16 KiB messages, padding
//                    included) vs OpenSSL SHA-256 with SHA extensions, AVX2
//                    and AVX masked, so that it runs its SSSE3 code.
//   kuznyechik-ctr   our CTR over Kuznyechik vs kuznyechik-ctr of the GOST
//                    provider for OpenSSL (gostprov), 16 KiB buffers.
//   hmac-sha256-64B  our HMAC-SHA-256 of 64-byte messages vs OpenSSL's HMAC
//                    (EVP_MAC, key set once) with the SHA extensions masked.
//
// OpenSSL reads OPENSSL_ia32cap only when libcrypto initialises, so each pair
// is measured in a child process started from this program with the variable
// set. Arguments select pairs by name; none means all four.
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <openssl/provider.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "crypto/cpuinfo.h"
#include "crypto/ctr.h"
#include "crypto/hmac.h"
#include "crypto/kuznyechik.h"
#include "crypto/sha256.h"
#include "crypto/sha256_block.h"

extern char** environ;

namespace {

struct Pair {
  const char* name;
  const char* ia32cap;  // value of OPENSSL_ia32cap for the child
};

// Leaf-1 word (EDX:ECX as one 64-bit value): bit 60 is AVX. Leaf-7 EBX word
// (after the colon): bit 29 is SHA, bit 5 is AVX2. OpenSSL's SHA-256 takes
// its AVX2 code whenever AVX2, BMI1 and BMI2 are set, before it looks at AVX,
// so reaching its SSSE3 code needs AVX2 masked as well as AVX.
const Pair kPairs[] = {
    {"sha256-avx2", ":~0x20000000"},
    {"sha256-sse4", "~0x1000000000000000:~0x20000020"},
    {"kuznyechik-ctr", nullptr},
    {"hmac-sha256-64B", ":~0x20000000"},
};

const size_t kMsgSize = 16 * 1024;
const double kTrialSeconds = 0.25;
const int kTrials = 8;

// Bytes per second of fn, which processes bytes_per_call bytes per call:
// the best of kTrials runs of about kTrialSeconds each.
double measure_once(const std::function<void()>& fn, size_t bytes_per_call) {
  using clock = std::chrono::steady_clock;
  // Calibrate the number of calls per trial.
  size_t calls = 1;
  for (;;) {
    const auto t0 = clock::now();
    for (size_t i = 0; i < calls; i++) fn();
    const double s = std::chrono::duration<double>(clock::now() - t0).count();
    if (s > 0.02) {
      calls = static_cast<size_t>(calls * kTrialSeconds / s) + 1;
      break;
    }
    calls *= 2;
  }
  const auto t0 = clock::now();
  for (size_t i = 0; i < calls; i++) fn();
  const double s = std::chrono::duration<double>(clock::now() - t0).count();
  return static_cast<double>(calls) * bytes_per_call / s;
}

// Alternates the two measurements so that both see the same machine state,
// and keeps the best of each (in MB/s, 10^6 bytes per second).
void compare(const char* name, const std::function<void()>& ours, const std::function<void()>& anchor,
             size_t bytes_per_call) {
  double best_ours = 0, best_anchor = 0;
  for (int t = 0; t < kTrials; t++) {
    const double o = measure_once(ours, bytes_per_call);
    const double a = measure_once(anchor, bytes_per_call);
    if (o > best_ours) best_ours = o;
    if (a > best_anchor) best_anchor = a;
  }
  std::printf("%s ours=%.1f anchor=%.1f ratio=%.3f\n", name, best_ours / 1e6, best_anchor / 1e6,
              best_ours / best_anchor);
  std::fflush(stdout);
}

std::string openssl_error() {
  char buf[256];
  const unsigned long e = ERR_get_error();
  if (!e) return "no OpenSSL error recorded";
  ERR_error_string_n(e, buf, sizeof buf);
  return buf;
}

std::vector<unsigned char> test_data(size_t n) {
  std::vector<unsigned char> v(n);
  uint32_t x = 0x12345678;
  for (auto& b : v) {
    x = x * 1103515245u + 12345u;
    b = static_cast<unsigned char>(x >> 24);
  }
  return v;
}

// Digest of msg with the given block function, padding included, like
// sha256::final does it.
void sha256_with(void (*block)(const void*, uint32_t*, uint64_t), const std::vector<unsigned char>& msg,
                 uint32_t* state, unsigned char* out) {
  static const uint32_t init[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                   0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  std::memcpy(state, init, 32);
  const size_t whole = msg.size() / 64;
  block(msg.data(), state, whole);
  unsigned char tail[128] = {};
  const size_t rest = msg.size() % 64;
  std::memcpy(tail, msg.data() + whole * 64, rest);
  tail[rest] = 0x80;
  const size_t nb = rest + 9 > 64 ? 2 : 1;
  const uint64_t bits = uint64_t(msg.size()) * 8;
  for (int k = 0; k < 8; k++) tail[nb * 64 - 1 - k] = static_cast<unsigned char>(bits >> (8 * k));
  block(tail, state, nb);
  for (int k = 0; k < 8; k++) {
    out[4 * k] = static_cast<unsigned char>(state[k] >> 24);
    out[4 * k + 1] = static_cast<unsigned char>(state[k] >> 16);
    out[4 * k + 2] = static_cast<unsigned char>(state[k] >> 8);
    out[4 * k + 3] = static_cast<unsigned char>(state[k]);
  }
}

int fail(const char* name, const std::string& why) {
  std::fprintf(stderr, "%s: %s\n", name, why.c_str());
  return 1;
}

int run_sha256(const char* name, bool avx2) {
  using namespace cppcrypto;
  if (avx2 ? !(cpu_info::avx2() && cpu_info::bmi2()) : !cpu_info::sse41())
    return fail(name, "this processor lacks the instruction set of our function");
  EVP_MD* md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  if (!md || !ctx) return fail(name, openssl_error());
  const std::vector<unsigned char> msg = test_data(kMsgSize);
  unsigned char a[32], b[32];
  unsigned int alen = 0;
  auto anchor = [&] {
    EVP_DigestInit_ex(ctx, md, nullptr);
    EVP_DigestUpdate(ctx, msg.data(), msg.size());
    EVP_DigestFinal_ex(ctx, a, &alen);
  };
  sha256 h;
  aligned_pod_array<uint32_t, 8, 32> st;
  std::function<void()> ours;
  if (avx2)  // through the class: 256 whole blocks go to the AVX2 function
    ours = [&] { h.hash_string(msg.data(), msg.size(), b); };
  else
    ours = [&] { sha256_with(sha256_sse4, msg, st.get(), b); };
  anchor();
  ours();
  if (alen != 32 || std::memcmp(a, b, 32) != 0) return fail(name, "digests differ from OpenSSL's");
  compare(name, ours, anchor, msg.size());
  EVP_MD_CTX_free(ctx);
  EVP_MD_free(md);
  return 0;
}

int run_kuznyechik(const char* name) {
  using namespace cppcrypto;
  const std::vector<unsigned char> key = test_data(32);
  const std::vector<unsigned char> iv = test_data(8);  // GOST R 34.13: half a block
  const std::vector<unsigned char> in = test_data(kMsgSize);
  std::vector<unsigned char> out_ours(kMsgSize), out_anchor(kMsgSize);

  kuznyechik k;
  ctr c(k);
  c.init(key.data(), key.size(), iv.data(), iv.size());
  auto ours = [&] { c.encrypt(in.data(), in.size(), out_ours.data()); };

  std::string why;
  OSSL_PROVIDER* gost = OSSL_PROVIDER_load(nullptr, "gostprov");
  OSSL_PROVIDER* deflt = gost ? OSSL_PROVIDER_load(nullptr, "default") : nullptr;
  EVP_CIPHER* cipher = deflt ? EVP_CIPHER_fetch(nullptr, "kuznyechik-ctr", nullptr) : nullptr;
  EVP_CIPHER_CTX* ctx = cipher ? EVP_CIPHER_CTX_new() : nullptr;
  if (!gost)
    why = "cannot load the OpenSSL provider \"gostprov\" (package libengine-gost-openssl): " + openssl_error();
  else if (!deflt)
    why = "cannot load the default OpenSSL provider: " + openssl_error();
  else if (!cipher)
    why = "provider \"gostprov\" offers no kuznyechik-ctr: " + openssl_error();
  else if (!ctx || EVP_EncryptInit_ex(ctx, cipher, nullptr, key.data(), iv.data()) != 1)
    why = "cannot initialise kuznyechik-ctr: " + openssl_error();
  if (!why.empty()) {
    double best = 0;
    for (int t = 0; t < kTrials; t++) {
      const double o = measure_once(ours, in.size());
      if (o > best) best = o;
    }
    std::printf("%s ours=%.1f anchor=unavailable ratio=unavailable\n", name, best / 1e6);
    std::fflush(stdout);
    std::fprintf(stderr, "%s: anchor unavailable: %s\n", name, why.c_str());
    return 0;
  }
  int outl = 0;
  auto anchor = [&] { EVP_EncryptUpdate(ctx, out_anchor.data(), &outl, in.data(), static_cast<int>(in.size())); };
  // Both start from the same key stream; check it before timing.
  ours();
  anchor();
  if (outl != static_cast<int>(kMsgSize) || out_ours != out_anchor)
    return fail(name, "cipher text differs from the GOST provider's");
  compare(name, ours, anchor, in.size());
  EVP_CIPHER_CTX_free(ctx);
  EVP_CIPHER_free(cipher);
  OSSL_PROVIDER_unload(deflt);
  OSSL_PROVIDER_unload(gost);
  return 0;
}

int run_hmac(const char* name) {
  using namespace cppcrypto;
  const std::vector<unsigned char> key = test_data(32);
  const std::vector<unsigned char> msg = test_data(64);
  unsigned char a[32], b[32];

  EVP_MAC* mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
  EVP_MAC_CTX* ctx = mac ? EVP_MAC_CTX_new(mac) : nullptr;
  if (!ctx) return fail(name, openssl_error());
  char digest[] = "SHA256";
  OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                         OSSL_PARAM_construct_end()};
  if (EVP_MAC_init(ctx, key.data(), key.size(), params) != 1) return fail(name, openssl_error());
  size_t alen = 0;
  // A NULL key on re-initialisation keeps the key, so OpenSSL reuses its
  // prepared pad states.
  auto anchor = [&] {
    EVP_MAC_init(ctx, nullptr, 0, nullptr);
    EVP_MAC_update(ctx, msg.data(), msg.size());
    EVP_MAC_final(ctx, a, &alen, sizeof a);
  };
  sha256 h;
  hmac m(h, key.data(), key.size());
  auto ours = [&] { m.hash_string(msg.data(), msg.size(), b); };
  anchor();
  ours();
  if (alen != 32 || std::memcmp(a, b, 32) != 0) return fail(name, "MAC differs from OpenSSL's");
  compare(name, ours, anchor, msg.size());
  EVP_MAC_CTX_free(ctx);
  EVP_MAC_free(mac);
  return 0;
}

int run_child(const std::string& name) {
  if (name == "sha256-avx2") return run_sha256(name.c_str(), true);
  if (name == "sha256-sse4") return run_sha256(name.c_str(), false);
  if (name == "kuznyechik-ctr") return run_kuznyechik(name.c_str());
  if (name == "hmac-sha256-64B") return run_hmac(name.c_str());
  return fail(name.c_str(), "unknown measurement");
}

// Runs this program again as a child measuring `p`, with OPENSSL_ia32cap set
// (or removed) in its environment. Returns the child's exit status.
int spawn(const Pair& p) {
  std::vector<std::string> env_strings;
  for (char** e = environ; *e; e++)
    if (std::strncmp(*e, "OPENSSL_ia32cap=", 16) != 0) env_strings.push_back(*e);
  if (p.ia32cap) env_strings.push_back(std::string("OPENSSL_ia32cap=") + p.ia32cap);
  std::vector<char*> envp;
  for (auto& s : env_strings) envp.push_back(&s[0]);
  envp.push_back(nullptr);
  std::string self = "/proc/self/exe";
  std::string flag = std::string("--child=") + p.name;
  char* argv[] = {&self[0], &flag[0], nullptr};

  std::fflush(stdout);
  const pid_t pid = fork();
  if (pid < 0) {
    std::perror("fork");
    return 1;
  }
  if (pid == 0) {
    execve("/proc/self/exe", argv, envp.data());
    std::perror("execve");
    _exit(127);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strncmp(argv[1], "--child=", 8) == 0) return run_child(argv[1] + 8);
  int rc = 0;
  for (const Pair& p : kPairs) {
    bool wanted = argc < 2;
    for (int i = 1; i < argc; i++)
      if (p.name == std::string(argv[i])) wanted = true;
    if (wanted && spawn(p) != 0) rc = 1;
  }
  return rc;
}
