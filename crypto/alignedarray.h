// Fixed-size array of plain values in its own aligned heap allocation.
#ifndef HX_CRYPTO_ALIGNEDARRAY_H
#define HX_CRYPTO_ALIGNEDARRAY_H

#include <cstddef>
#include <cstdlib>
#include <new>

namespace cppcrypto {

// Owns N elements of T at an address that is a multiple of A. The elements are
// not initialised. Throws std::bad_alloc when the allocation fails.
template <typename T, size_t N, size_t A>
class aligned_pod_array {
 public:
  aligned_pod_array() {
    // aligned_alloc wants a size that is a multiple of the alignment.
    const size_t bytes = (sizeof(T) * N + A - 1) / A * A;
    p_ = static_cast<T*>(std::aligned_alloc(A, bytes));
    if (!p_) throw std::bad_alloc();  // GCOVR_EXCL_BR_LINE: only when memory is exhausted
  }
  ~aligned_pod_array() { std::free(p_); }

  aligned_pod_array(const aligned_pod_array&) = delete;
  aligned_pod_array& operator=(const aligned_pod_array&) = delete;

  T* get() { return p_; }
  const T* get() const { return p_; }
  T& operator[](size_t i) { return p_[i]; }
  const T& operator[](size_t i) const { return p_[i]; }
  static constexpr size_t size() { return N; }
  static constexpr size_t bytes() { return sizeof(T) * N; }

 private:
  T* p_;
};

}  // namespace cppcrypto

#endif
