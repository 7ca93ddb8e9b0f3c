// Version texts of the server turned into major and minor numbers.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "postgresql/hx_postgresql_common.h"

namespace {

using hx_postgresql_common::split_pg_version;

TEST(PgVersion, ReleaseTextsOfTheServer) {
  struct Case {
    const char* text;
    unsigned int major, minor;
  };
  for (const Case& c : {Case{"15.4", 15, 4}, Case{"9.6.24", 9, 6}, Case{"16devel", 16, 0}, Case{"16beta1", 16, 0},
                        Case{"14.9 (Debian 14.9-1.pgdg120+1)", 14, 9}, Case{"10", 10, 0}, Case{"10.23", 10, 23},
                        Case{" 12.3", 12, 3}}) {
    const pg_version version = split_pg_version(c.text);
    EXPECT_EQ(version.major, c.major) << c.text;
    EXPECT_EQ(version.minor, c.minor) << c.text;
  }
}

TEST(PgVersion, TextWithoutNumbersOrOutOfRangeThrows) {
  // The piece after the first point counts even when it is empty ("15.").
  for (const char* text : {".5", "", "devel", "15."})
    EXPECT_THROW(split_pg_version(text), std::invalid_argument) << text;
  EXPECT_THROW(split_pg_version("99999999999.1"), std::out_of_range);
  EXPECT_THROW(split_pg_version("15.99999999999"), std::out_of_range);
}

}  // namespace
