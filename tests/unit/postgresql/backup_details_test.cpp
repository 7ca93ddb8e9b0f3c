// The pure pieces of a backup: the stop result's row value, the statements
// chosen by server version, and the WAL walk of clusters whose segment size
// is not the default.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "postgresql/backup_details.h"
#include "postgresql/hx_postgresql_common.h"
#include "tests/support/test_support.h"

namespace {

using hx_pg_backup::parse_row_value;
using hx_test::wal_segment;
using Fields = std::vector<std::string>;

Fields row(const std::string& text) {
  Fields fields;
  EXPECT_TRUE(parse_row_value(text, fields)) << text;
  return fields;
}

TEST(BackupDetails, StopResultRowValueIsReadWhole) {
  // The server's form: quotes around fields holding blanks, commas, line
  // ends or quotes; a doubled quote or a backslash-escaped character inside.
  EXPECT_EQ(row("(0/2000138,\"START WAL LOCATION: 0/2000028 (file 000000010000000000000002)\n"
                "LABEL: a,b \"\"x\"\" \\\\y\n\",\"16385 /srv/ts 1\n\")"),
            (Fields{"0/2000138",
                    "START WAL LOCATION: 0/2000028 (file 000000010000000000000002)\nLABEL: a,b \"x\" \\y\n",
                    "16385 /srv/ts 1\n"}));
  // An empty map and a NULL one both read as empty text.
  EXPECT_EQ(row("(0/3000100,\"L\n\",\"\")"), (Fields{"0/3000100", "L\n", ""}));
  EXPECT_EQ(row("(0/3000100,\"L\n\",)"), (Fields{"0/3000100", "L\n", ""}));
  Fields fields;
  for (const char* broken : {"", "(", "0/1,\"a\",\"b\"", "(0/1,\"a,b)", "(0/1,a\\)"}) {
    EXPECT_FALSE(parse_row_value(broken, fields)) << broken;
  }
}

TEST(BackupDetails, StatementsByServerVersion) {
  using hx_pg_backup::start_backup_statement;
  EXPECT_EQ(start_backup_statement(9, "'db1'"), "SELECT pg_start_backup('db1', false, false)");
  EXPECT_EQ(start_backup_statement(14, "'db1'"), "SELECT pg_start_backup('db1', false, false)");
  EXPECT_EQ(start_backup_statement(15, "'db1'"), "SELECT pg_backup_start('db1', false)");
  EXPECT_EQ(start_backup_statement(16, "E'a\\\\b'"), "SELECT pg_backup_start(E'a\\\\b', false)");
  EXPECT_EQ(hx_pg_backup::switch_wal_statement(9), "SELECT pg_xlogfile_name(pg_switch_xlog())");
  EXPECT_EQ(hx_pg_backup::switch_wal_statement(10), "SELECT pg_walfile_name(pg_switch_wal())");
}

TEST(BackupDetails, TablespaceMapAndMountsBelowADirectory) {
  using hx_pg_backup::tablespace_map_locations;
  // A location with a blank, and one with an escaped line end and backslash.
  EXPECT_EQ(tablespace_map_locations("16385 /srv/ts 1\n16386 /srv/a\\\nb\\\\c\n\n"),
            (Fields{"/srv/ts 1", "/srv/a\nb\\c"}));

  const std::string mountinfo =
      "22 1 8:1 / / rw - ext4 /dev/vda rw\n"
      "90 22 7:3 / /t/task rw - ext4 /dev/mapper/vg-a.snap rw\n"
      "91 22 7:4 / /t/task/my\\040data rw - ext4 /dev/mapper/vg-b.snap rw\n"
      "92 22 7:5 / /t/task2 rw - ext4 /dev/mapper/vg-c.snap rw\n";
  EXPECT_EQ(hx_pg_backup::mounts_at_or_below(mountinfo, "/t/task"), (Fields{"/t/task", "/t/task/my data"}));
}

TEST(BackupDetails, WalWalkFollowsTheSegmentSize) {
  using hx_postgresql_common::check_sequence_integrity;
  using hx_postgresql_common::wal_segment_size_from_text;
  hx_test::LogCapture log{HxLogLvl::DebugMask};
  EXPECT_EQ(wal_segment_size_from_text("16MB"), 16u << 20);
  EXPECT_EQ(wal_segment_size_from_text("1GB"), 1u << 30);
  EXPECT_EQ(wal_segment_size_from_text("1024KB"), 1u << 20);
  EXPECT_EQ(wal_segment_size_from_text("16kB"), 0u);
  EXPECT_EQ(wal_segment_size_from_text("MB"), 0u);

  // 1 GiB segments: four per log id, 3 is the last one.
  const std::uint64_t gib = 1u << 30;
  const std::vector<std::string> big = {wal_segment(0, 2), wal_segment(0, 3), wal_segment(1, 0), wal_segment(1, 1)};
  EXPECT_TRUE(check_sequence_integrity(big, wal_segment(0, 2), wal_segment(1, 1), gib));
  EXPECT_FALSE(check_sequence_integrity(big, wal_segment(0, 2), wal_segment(1, 1)));  // read as 16 MiB segments
  EXPECT_FALSE(check_sequence_integrity({wal_segment(0, 2), wal_segment(1, 0)}, wal_segment(0, 2), wal_segment(1, 0), gib));
  // 1 MiB segments: 4096 per log id, so seg_high takes part in the count.
  const std::uint64_t mib = 1u << 20;
  EXPECT_TRUE(check_sequence_integrity({wal_segment(0, 0xFF), wal_segment(0, 0x100), wal_segment(0, 0xFFF), wal_segment(1, 0)},
                                       wal_segment(0, 0xFFF), wal_segment(1, 0), mib));
  EXPECT_TRUE(check_sequence_integrity({wal_segment(0, 0xFF), wal_segment(0, 0x100)}, wal_segment(0, 0xFF),
                                       wal_segment(0, 0x100), mib));
  // A segment number the size cannot have is no name of this cluster.
  EXPECT_FALSE(check_sequence_integrity({wal_segment(0, 4)}, wal_segment(0, 4), wal_segment(0, 4), gib));
}

// The WAL locations of a backup: the label's and history file's lines in the
// server's form, the history file the server names after the start, and the
// last segment of a stop location (at a segment's very beginning, the one
// before it).
TEST(BackupDetails, WalLocationsAndTheNamesTheServerGivesThem) {
  std::uint64_t lsn = 0;
  ASSERT_TRUE(hx_pg_backup::parse_lsn("0/2000028", lsn));
  EXPECT_EQ(0x2000028u, lsn);
  ASSERT_TRUE(hx_pg_backup::parse_lsn("1A/ff", lsn));
  EXPECT_EQ((std::uint64_t{0x1A} << 32) | 0xFF, lsn);
  for (const char* broken : {"0", "1/", "123456789/0", "0/x1"}) {
    EXPECT_FALSE(hx_pg_backup::parse_lsn(broken, lsn)) << broken;
  }

  const std::string label = "START WAL LOCATION: 0/2000028 (file 000000010000000000000002)\n"
                            "CHECKPOINT LOCATION: 0/2000060\nLABEL: a (file x)\n"
                            "STOP WAL LOCATION: 0/5000000 (file 000000010000000000000004)\n";
  hx_pg_backup::WalLocation start, stop;
  ASSERT_TRUE(hx_pg_backup::wal_location_line(label, "START WAL LOCATION: ", start));
  EXPECT_EQ("0/2000028", start.lsn_text);
  EXPECT_EQ(0x2000028u, start.lsn);
  EXPECT_EQ("000000010000000000000002", start.file);
  EXPECT_EQ("000000010000000000000002.00000028.backup", hx_pg_backup::backup_history_name(start, 16u << 20));
  hx_pg_backup::WalLocation later;
  ASSERT_TRUE(hx_pg_backup::wal_location_line("START WAL LOCATION: 0/3000028 (file 000000010000000000000001)\n",
                                              "START WAL LOCATION: ", later));
  EXPECT_EQ("000000010000000000000001.01000028.backup", hx_pg_backup::backup_history_name(later, 32u << 20));
  ASSERT_TRUE(hx_pg_backup::wal_location_line(label, "STOP WAL LOCATION: ", stop));
  EXPECT_EQ(0x5000000u, stop.lsn);

  const std::string timeline = "000000030000000000000002";
  EXPECT_EQ("000000030000000000000004", hx_pg_backup::segment_before(timeline, 0x5000000, 16u << 20));
  EXPECT_EQ("000000030000000000000005", hx_pg_backup::segment_before(timeline, 0x5000001, 16u << 20));
  EXPECT_EQ("0000000300000000000000FF", hx_pg_backup::segment_before(timeline, std::uint64_t{1} << 32, 16u << 20));
  EXPECT_EQ("000000030000000100000000", hx_pg_backup::segment_before(timeline, (std::uint64_t{1} << 32) + 0x28,
                                                                     16u << 20));
  // 64 MiB segments: 64 of them per log id.
  EXPECT_EQ("00000003000000010000003F", hx_pg_backup::segment_before(timeline, std::uint64_t{2} << 32, 64u << 20));
}

}  // namespace
