// The name of the per-resource lock, pinned by known answers.
#include "module/resource_lock.h"

#include <gtest/gtest.h>

// Computed once outside this code base with Python's hmac and hashlib:
// HMAC-SHA-256 of the resource under the 93-digit MAC key, first eight bytes
// written as "%x" each. Every running task of every release must agree on
// these names, or two tasks on one resource no longer exclude each other.
TEST(LockName, KnownAnswers) {
  const struct {
    const char* program;
    const char* resource;
    const char* name;
  } cases[] = {
      // bytes 10 71 50 42 a2 8e 0b cf: the 0x0b is written as the single "b"
      {"/opt/halvex/bin/hx_module_pg_ostrel", "/var/lib/postgresql/15/main",
       "Halvex_MOD_mutex_hx_module_pg_ostrel_10715042a28ebcf"},
      {"hx_module_pg_ostrel", "cluster", "Halvex_MOD_mutex_hx_module_pg_ostrel_c1122d8dce5c6b40"},
      {"./other_module", "R1", "Halvex_MOD_mutex_other_module_9789cb90dda48e4a"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.name, hx_resource_lock::lock_name(c.program, c.resource)) << c.resource;
}
