// WAL file names: parsing, comparison, increment and the timeline comparison.
#include <gtest/gtest.h>

#include <string>

#include "postgresql/hx_postgresql_common.h"
#include "unit/postgresql/wal_test_support.h"

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

void expect_fields(const wal_name& name, std::uint32_t timeline, std::uint32_t log_id, std::uint32_t seg_high,
                   std::uint16_t seg_low) {
  EXPECT_EQ(name.timeline, timeline);
  EXPECT_EQ(name.log_id, log_id);
  EXPECT_EQ(name.seg_high, seg_high);
  EXPECT_EQ(name.seg_low, seg_low);
}

TEST(WalNameParse, FieldsOfASegmentNameAndItsSuccessorAcrossTheLogIdBoundary) {
  wal_test::LogCapture log;
  wal_name name = wal_name_from_string("000000010000000A000000FF");
  expect_fields(name, 1, 10, 0, 255);

  wal_name& same = ++name;
  EXPECT_EQ(&same, &name);  // prefix increment returns the record itself
  expect_fields(name, 1, 11, 0, 0);
  EXPECT_TRUE(name == wal_name_from_string("000000010000000B00000000"));
  EXPECT_TRUE(log.at("Error").empty());
}

TEST(WalNameParse, WideFieldsAndTheFirst24CharactersOfLongerNames) {
  wal_test::LogCapture log;
  expect_fields(wal_name_from_string("FFFFFFFFFFFFFFFEABCDEF12"), 0xFFFFFFFFu, 0xFFFFFFFEu, 0xABCDEFu, 0x12);
  // Lower-case digits parse too; a backup history file parses as its segment.
  expect_fields(wal_name_from_string("0000000a0000000b0000000c"), 10, 11, 0, 12);
  expect_fields(wal_name_from_string("000000010000000000000002.00000028.backup"), 1, 0, 0, 2);
  // Parsing of a field stops at the first character that is not a hex digit.
  expect_fields(wal_name_from_string("00000001000000GG00000003"), 1, 0, 0, 3);
  EXPECT_TRUE(log.at("Error").empty());
}

TEST(WalNameParse, UnparsableTextGivesAllZerosAndAnErrorLine) {
  wal_test::LogCapture log;
  // Shorter than 22 characters: the last substring cannot be taken.
  expect_fields(wal_name_from_string("00000001000000000000"), 0, 0, 0, 0);
  // Exactly 22 characters: the last field is empty.
  expect_fields(wal_name_from_string("0000000100000000000000"), 0, 0, 0, 0);
  // A field without hexadecimal digits; the fields parsed before it are dropped too.
  expect_fields(wal_name_from_string("00000002ZZZZZZZZ00000003"), 0, 0, 0, 0);
  expect_fields(wal_name_from_string("00000002.history"), 0, 0, 0, 0);

  const auto errors = log.at("Error");
  ASSERT_EQ(errors.size(), 4u);
  for (const auto& line : errors) EXPECT_EQ(line.rfind(kSigFromString + ": ", 0), 0u) << line;
  EXPECT_NE(errors[0].find("substr"), std::string::npos) << errors[0];
  EXPECT_EQ(errors[1], kSigFromString + ": stoul");
  EXPECT_EQ(errors[2], kSigFromString + ": stoul");
}

TEST(WalNameOperators, EqualityNeedsAllFourFields) {
  const wal_name base = make(1, 2, 3, 4);
  EXPECT_TRUE(base == make(1, 2, 3, 4));
  EXPECT_FALSE(base == make(2, 2, 3, 4));
  EXPECT_FALSE(base == make(1, 3, 3, 4));
  EXPECT_FALSE(base == make(1, 2, 4, 4));
  EXPECT_FALSE(base == make(1, 2, 3, 5));
}

TEST(WalNameOperators, LessOrEqualComparesFieldByField) {
  EXPECT_TRUE(make(1, 0, 0, 5) <= make(1, 0, 0, 5));
  EXPECT_TRUE(make(1, 0, 0, 5) <= make(1, 0, 0, 6));
  EXPECT_FALSE(make(1, 0, 0, 6) <= make(1, 0, 0, 5));
  EXPECT_TRUE(make(1, 0, 0x10, 0) <= make(1, 1, 0x10, 0));
  EXPECT_FALSE(make(2, 0, 0, 0) <= make(1, 5, 5, 5));
  EXPECT_FALSE(make(1, 0, 1, 0) <= make(1, 0, 0, 0xFF));
  // The field-by-field surprise: a smaller log id does not make the name
  // smaller when its segment number is greater.
  EXPECT_FALSE(wal_name_from_string("0000000100000000000000FE") <= wal_name_from_string("000000010000000100000002"));
  EXPECT_TRUE(wal_name_from_string("000000010000000000000010") <= wal_name_from_string("000000010000000100000020"));
}

TEST(WalNameOperators, IncrementStepsSegmentsThenLogIdAndKeepsTimelineAndSegHigh) {
  wal_name name = make(1, 0, 0, 0xFE);
  ++name;
  expect_fields(name, 1, 0, 0, 0xFF);
  ++name;
  expect_fields(name, 1, 1, 0, 0);

  wal_name high = make(2, 3, 0x000001, 0xFF);
  ++high;
  expect_fields(high, 2, 4, 1, 0);

  wal_name twice = make(1, 0, 0, 0);
  ++ ++twice;
  expect_fields(twice, 1, 0, 0, 2);
}

TEST(WalTimelines, FirstEightCharactersDecide) {
  wal_test::LogCapture log;
  EXPECT_EQ(hx_postgresql_common::compare_timelines_id("000000010000000000000002", "0000000100000005000000FF"), 0);
  EXPECT_TRUE(log.lines().empty());

  EXPECT_EQ(hx_postgresql_common::compare_timelines_id("000000010000000000000002", "000000020000000000000003"), 3);
  const auto lines = log.lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "Info: " + kSigTimelines +
                          ": The timelineID of the START and STOP files do not match. Changing backup type to full.");
  EXPECT_EQ(lines[1], "Debug: " + kSigTimelines + ": TimelineID Start File: 00000001");
  EXPECT_EQ(lines[2], "Debug: " + kSigTimelines + ": TimelineID Stop File: 00000002");

  // Names shorter than eight characters compare as they are.
  EXPECT_EQ(hx_postgresql_common::compare_timelines_id("0001", "0001"), 0);
  EXPECT_EQ(hx_postgresql_common::compare_timelines_id("0001", "00010"), 3);
}

}  // namespace
