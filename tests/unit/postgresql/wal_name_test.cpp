// WAL file names: parsing, comparison, increment and the timeline comparison.
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "postgresql/hx_postgresql_common.h"
#include "tests/support/test_support.h"

namespace {

using hx_postgresql_common::wal_name;
using hx_postgresql_common::wal_name_from_string;

const std::string kSigFromString =
    "hx_postgresql_common::wal_name hx_postgresql_common::wal_name_from_string(const string&)";
const std::string kSigTimelines = "int hx_postgresql_common::compare_timelines_id(const string&, const string&)";

wal_name make(std::uint32_t timeline, std::uint32_t log_id, std::uint32_t seg_high, std::uint16_t seg_low) {
  wal_name name;
  name.timeline = timeline;
  name.log_id = log_id;
  name.seg_high = seg_high;
  name.seg_low = seg_low;
  return name;
}

std::tuple<std::uint32_t, std::uint32_t, std::uint32_t, unsigned> fields(const wal_name& n) {
  return std::make_tuple(n.timeline, n.log_id, n.seg_high, unsigned{n.seg_low});
}
std::tuple<std::uint32_t, std::uint32_t, std::uint32_t, unsigned> fields_of(const std::string& text) {
  return fields(wal_name_from_string(text));
}

TEST(WalName, ParsesAndStepsAcrossTheLogIdBoundary) {
  hx_test::LogCapture log{HxLogLvl::DebugMask};
  wal_name name = wal_name_from_string("000000010000000A000000FF");
  EXPECT_EQ(fields(name), std::make_tuple(1u, 10u, 0u, 255u));
  wal_name& same = ++name;
  EXPECT_EQ(&same, &name);
  EXPECT_EQ(fields(name), std::make_tuple(1u, 11u, 0u, 0u));
  EXPECT_TRUE(name == wal_name_from_string("000000010000000B00000000"));
  // seg_high and the timeline stay as they are.
  wal_name high = make(2, 3, 1, 0xFF);
  EXPECT_EQ(fields(++ ++high), std::make_tuple(2u, 4u, 1u, 1u));

  EXPECT_EQ(fields_of("FFFFFFFFFFFFFFFEABCDEF12"), std::make_tuple(0xFFFFFFFFu, 0xFFFFFFFEu, 0xABCDEFu, 0x12u));
  EXPECT_EQ(fields_of("0000000a0000000b0000000c"), std::make_tuple(10u, 11u, 0u, 12u));
  // A backup history file parses as its segment; a field ends at a non-hex digit.
  EXPECT_EQ(fields_of("000000010000000000000002.00000028.backup"), std::make_tuple(1u, 0u, 0u, 2u));
  EXPECT_EQ(fields_of("00000001000000GG00000003"), std::make_tuple(1u, 0u, 0u, 3u));
  EXPECT_TRUE(log.at("Error").empty());
}

TEST(WalName, UnparsableTextGivesAllZerosAndAnErrorLine) {
  hx_test::LogCapture log{HxLogLvl::DebugMask};
  const auto zero = std::make_tuple(0u, 0u, 0u, 0u);
  EXPECT_EQ(fields_of("00000001000000000000"), zero);      // too short for the last field
  EXPECT_EQ(fields_of("0000000100000000000000"), zero);    // last field empty
  EXPECT_EQ(fields_of("00000002ZZZZZZZZ00000003"), zero);  // earlier fields dropped too
  EXPECT_EQ(fields_of("00000002.history"), zero);
  const auto errors = log.at("Error");
  ASSERT_EQ(errors.size(), 4u);
  EXPECT_EQ(errors[0], kSigFromString + ": basic_string::substr: __pos (which is 22) > this->size() (which is 20)");
  EXPECT_EQ(errors[1], kSigFromString + ": stoul");
  EXPECT_EQ(errors[2], kSigFromString + ": stoul");
}

TEST(WalName, EqualityAndFieldByFieldLessOrEqual) {
  const wal_name base = make(1, 2, 3, 4);
  EXPECT_TRUE(base == make(1, 2, 3, 4));
  for (const wal_name& other : {make(2, 2, 3, 4), make(1, 3, 3, 4), make(1, 2, 4, 4), make(1, 2, 3, 5)})
    EXPECT_FALSE(base == other);
  EXPECT_TRUE(make(1, 0, 0, 5) <= make(1, 0, 0, 5));
  EXPECT_TRUE(make(1, 0, 0x10, 0) <= make(1, 1, 0x10, 0));
  EXPECT_FALSE(make(1, 0, 0, 6) <= make(1, 0, 0, 5));
  EXPECT_FALSE(make(2, 0, 0, 0) <= make(1, 5, 5, 5));
  EXPECT_FALSE(make(1, 0, 1, 0) <= make(1, 0, 0, 0xFF));
  // A smaller log id does not make the name smaller when its segment is greater.
  EXPECT_FALSE(wal_name_from_string("0000000100000000000000FE") <= wal_name_from_string("000000010000000100000002"));
  EXPECT_TRUE(wal_name_from_string("000000010000000000000010") <= wal_name_from_string("000000010000000100000020"));
}

TEST(WalName, TimelinesCompareTheFirstEightCharacters) {
  hx_test::LogCapture log{HxLogLvl::DebugMask};
  EXPECT_EQ(hx_postgresql_common::compare_timelines_id("000000010000000000000002", "0000000100000005000000FF"), 0);
  EXPECT_EQ(hx_postgresql_common::compare_timelines_id("0001", "0001"), 0);
  EXPECT_TRUE(log.messages().empty());
  EXPECT_EQ(hx_postgresql_common::compare_timelines_id("000000010000000000000002", "000000020000000000000003"), 3);
  EXPECT_EQ(log.messages(),
            (std::vector<std::string>{"Info: " + kSigTimelines +
                                          ": The timelineID of the START and STOP files do not match. Changing "
                                          "backup type to full.",
                                      "Debug: " + kSigTimelines + ": TimelineID Start File: 00000001",
                                      "Debug: " + kSigTimelines + ": TimelineID Stop File: 00000002"}));
  EXPECT_EQ(hx_postgresql_common::compare_timelines_id("0001", "00010"), 3);
}

}  // namespace
