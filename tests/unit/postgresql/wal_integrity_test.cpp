// The chain check of a run of WAL files: every name from start through stop
// must occur, in order, among the paths.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "postgresql/hx_postgresql_common.h"
#include "tests/support/test_support.h"

namespace {

using hx_postgresql_common::check_sequence_integrity;

const std::string kSigIntegrity =
    "bool hx_postgresql_common::check_sequence_integrity(const std::vector<std::__cxx11::basic_string<char> >&, "
    "const string&, const string&)";

using hx_test::wal_segment;

std::vector<std::string> in_archive(const std::vector<std::string>& names) {
  std::vector<std::string> paths;
  for (const auto& name : names) paths.push_back("/var/lib/pgarch/" + name);
  return paths;
}

TEST(WalChainCheck, CompleteChainPassesAndAnyMissingNameFails) {
  hx_test::LogCapture log{HxLogLvl::DebugMask};
  EXPECT_TRUE(check_sequence_integrity(in_archive({wal_segment(0, 5), wal_segment(0, 6), wal_segment(0, 7)}), wal_segment(0, 5), wal_segment(0, 7)));
  EXPECT_TRUE(check_sequence_integrity(in_archive({wal_segment(0, 5)}), wal_segment(0, 5), wal_segment(0, 5)));
  for (const auto& run : {std::vector<std::string>{wal_segment(0, 5), wal_segment(0, 7)},
                          {wal_segment(0, 6), wal_segment(0, 7)},
                          {wal_segment(0, 5), wal_segment(0, 6)},
                          {wal_segment(0, 6), wal_segment(0, 5), wal_segment(0, 7)} /* out of order */,
                          {}})
    EXPECT_FALSE(check_sequence_integrity(in_archive(run), wal_segment(0, 5), wal_segment(0, 7)));
  // Paths without a directory are read whole; a directory part that looks like a name is not read.
  EXPECT_TRUE(check_sequence_integrity({wal_segment(0, 5), wal_segment(0, 6)}, wal_segment(0, 5), wal_segment(0, 6)));
  EXPECT_TRUE(log.at("Error").empty());
  EXPECT_FALSE(check_sequence_integrity({"/" + wal_segment(0, 5) + "/x", wal_segment(0, 6)}, wal_segment(0, 5), wal_segment(0, 6)));
  // Names need not be adjacent; entries that are no segment names are passed over without a word.
  log.clear();
  EXPECT_TRUE(check_sequence_integrity(in_archive({"00000001.history", wal_segment(0, 5), wal_segment(0, 5) + ".partial",
                                                   "archive_status", wal_segment(0, 6), wal_segment(0, 7), wal_segment(0, 9)}),
                                       wal_segment(0, 5), wal_segment(0, 7)));
  EXPECT_TRUE(log.at("Error").empty());
}

TEST(WalChainCheck, WalksAcrossTheLogIdBoundary) {
  hx_test::LogCapture log{HxLogLvl::DebugMask};
  const std::string start = "0000000100000000000000FE";
  const std::string stop = "000000010000000100000002";
  const std::vector<std::string> complete = {start, wal_segment(0, 0xFF), wal_segment(1, 0), wal_segment(1, 1), stop};
  EXPECT_TRUE(check_sequence_integrity(in_archive(complete), start, stop));
  const auto debug = log.at("Debug");
  ASSERT_EQ(debug.size(), complete.size());
  for (std::size_t i = 0; i < complete.size(); ++i)
    EXPECT_EQ(debug[i], kSigIntegrity + ": Path to WAL file: /var/lib/pgarch/" + complete[i]);
  // Gaps just before and just after the boundary.
  EXPECT_FALSE(check_sequence_integrity(in_archive({start, wal_segment(1, 0), wal_segment(1, 1), stop}), start, stop));
  EXPECT_FALSE(check_sequence_integrity(in_archive({start, wal_segment(0, 0xFF), wal_segment(1, 1), stop}), start, stop));

  // A long run: names of the later log id below the start's segment number are checked too.
  std::vector<std::string> names;
  for (unsigned s = 0x10; s <= 0xFF; ++s) names.push_back(wal_segment(0, s));
  for (unsigned s = 0x00; s <= 0x20; ++s) names.push_back(wal_segment(1, s));
  EXPECT_TRUE(check_sequence_integrity(in_archive(names), wal_segment(0, 0x10), wal_segment(1, 0x20)));
  names.erase(std::find(names.begin(), names.end(), wal_segment(1, 0x05)));
  EXPECT_FALSE(check_sequence_integrity(in_archive(names), wal_segment(0, 0x10), wal_segment(1, 0x20)));
  EXPECT_TRUE(log.at("Error").empty());
}

// Only the file of a segment's whole name is that segment: a backup history
// file or a .partial named after it, or its name in lower-case digits, never.
TEST(WalChainCheck, OnlyTheSegmentsOwnNameCounts) {
  hx_test::LogCapture log{HxLogLvl::DebugMask};
  const std::string history = "000000010000000000000002.00000028.backup";
  EXPECT_TRUE(check_sequence_integrity(in_archive({wal_segment(0, 2), history, wal_segment(0, 3)}), wal_segment(0, 2), wal_segment(0, 3)));
  EXPECT_FALSE(check_sequence_integrity(in_archive({wal_segment(0, 2), history, wal_segment(0, 4)}), wal_segment(0, 2), wal_segment(0, 4)));
  for (const std::string& stand_in : {history, wal_segment(0, 2) + ".partial"})
    EXPECT_FALSE(check_sequence_integrity(in_archive({stand_in, wal_segment(0, 3)}), wal_segment(0, 2), wal_segment(0, 3)))
        << stand_in;
  EXPECT_FALSE(check_sequence_integrity(in_archive({"00000001000000000000000a", wal_segment(0, 0xB)}), wal_segment(0, 0xA),
                                        wal_segment(0, 0xB)));
  EXPECT_TRUE(log.at("Error").empty());
}

TEST(WalChainCheck, UnreachableOrUnparsableStopFailsWithoutWalking) {
  hx_test::LogCapture log{HxLogLvl::DebugMask};
  const std::string tl1 = "000000010000000000000005";
  const std::string tl2 = "000000020000000000000006";  // the increment never changes the timeline
  EXPECT_FALSE(check_sequence_integrity(in_archive({tl1, wal_segment(0, 6), tl2}), tl1, tl2));
  // ... nor seg_high.
  const std::string high = "000000010000000000000102";
  EXPECT_FALSE(
      check_sequence_integrity(in_archive({wal_segment(0, 0xFF), wal_segment(0, 0x100), wal_segment(0, 0x101), high}), wal_segment(0, 0xFF), high));
  EXPECT_FALSE(check_sequence_integrity(in_archive({wal_segment(0, 5), wal_segment(0, 6)}), wal_segment(0, 6), wal_segment(0, 5)));
  const auto errors = log.at("Error");
  ASSERT_EQ(errors.size(), 3u);
  EXPECT_EQ(errors[0],
            kSigIntegrity + ": The WAL file " + tl2 + " cannot be reached from " + tl1 + " one segment at a time");
  EXPECT_EQ(errors[2], kSigIntegrity + ": The WAL file " + wal_segment(0, 5) + " cannot be reached from " + wal_segment(0, 6) +
                           " one segment at a time");

  log.clear();
  EXPECT_FALSE(check_sequence_integrity(in_archive({wal_segment(0, 5)}), "garbage", wal_segment(0, 5)));
  EXPECT_FALSE(check_sequence_integrity(in_archive({wal_segment(0, 5)}), wal_segment(0, 5), "0000000100000000000000"));
  // Not even a file whose name parses to all-zero fields stands in for them.
  EXPECT_FALSE(check_sequence_integrity(in_archive({"000000000000000000000000"}), "garbage", "rubbish"));
  EXPECT_EQ(log.at("Error").size(), 4u);  // only the parse errors
  EXPECT_TRUE(log.at("Debug").empty());   // no path was looked at
}

}  // namespace
