// Version texts of the server turned into major and minor numbers.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "postgresql/hx_postgresql_common.h"

namespace {

using hx_postgresql_common::split_pg_version;

void expect_version(const std::string& text, unsigned int major, unsigned int minor) {
  SCOPED_TRACE("version text: " + text);
  const pg_version version = split_pg_version(text);
  EXPECT_EQ(version.major, major);
  EXPECT_EQ(version.minor, minor);
}

TEST(PgVersion, DefaultIsZeroZero) {
  const pg_version version;
  EXPECT_EQ(version.major, 0u);
  EXPECT_EQ(version.minor, 0u);
}

TEST(PgVersion, ReleaseTextsOfTheServer) {
  expect_version("15.4", 15, 4);
  expect_version("9.6.24", 9, 6);
  expect_version("16devel", 16, 0);
  expect_version("16beta1", 16, 0);
  expect_version("14.9 (Debian 14.9-1.pgdg120+1)", 14, 9);
  expect_version("10", 10, 0);
  expect_version("10.23", 10, 23);
  expect_version(" 12.3", 12, 3);
}

TEST(PgVersion, TextWithoutLeadingNumberThrows) {
  EXPECT_THROW(split_pg_version(".5"), std::invalid_argument);
  EXPECT_THROW(split_pg_version(""), std::invalid_argument);
  EXPECT_THROW(split_pg_version("devel"), std::invalid_argument);
  // The piece after the first point counts even when it is empty.
  EXPECT_THROW(split_pg_version("15."), std::invalid_argument);
}

TEST(PgVersion, NumberOutOfIntRangeThrows) {
  EXPECT_THROW(split_pg_version("99999999999.1"), std::out_of_range);
  EXPECT_THROW(split_pg_version("15.99999999999"), std::out_of_range);
}

}  // namespace
