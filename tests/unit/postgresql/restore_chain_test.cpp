// The check before a deployment that the restored WAL archive holds every
// WAL file recovery from the backup label's start needs: its edges.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "postgresql/hx_postgresql_common.h"
#include "tests/support/test_support.h"

namespace {

using hx_test::wal_segment;
using Lines = std::vector<std::string>;

const std::string kSig =
    "bool hx_postgresql_common::restored_wal_chain_complete(const string&, const string&, const string&)";
constexpr off_t kSegmentSize = 16 * 1024 * 1024;

// A restored data directory whose backup_label starts at segment 2 and a
// restored archive holding segments 2 to 5 (sparse files of the segment size).
class RestoredChain : public ::testing::Test {
 protected:
  void SetUp() override {
    boost::filesystem::create_directory(dir_ / "data");
    boost::filesystem::create_directory(dir_ / "archive");
    label("START WAL LOCATION: 0/2000028 (file " + wal_segment(0, 2) + ")\nCHECKPOINT LOCATION: 0/2000060\n");
    for (unsigned s = 2; s <= 5; ++s) segment(s);
  }
  void label(const std::string& text) { dir_.write("data/backup_label", text); }
  void segment(unsigned number, off_t size = kSegmentSize) {
    ASSERT_EQ(truncate(dir_.write("archive/" + wal_segment(0, number)).c_str(), size), 0);
  }
  bool complete(const std::string& last = "") {
    return hx_postgresql_common::restored_wal_chain_complete(dir_ / "data", dir_ / "archive", last);
  }
  std::string lacks(unsigned missing, unsigned end) {
    return kSig + ": the restored WAL archive lacks the WAL file " + wal_segment(0, missing) + ", which recovery from " +
           wal_segment(0, 2) + " to " + wal_segment(0, end) + " needs: restore every part of the backup. Nothing was changed";
  }

  hx_test::TempDir dir_;
  hx_test::LogCapture log_;
};

TEST_F(RestoredChain, GapsAtEitherEndAndAStopBeyondTheNewestFile) {
  EXPECT_TRUE(complete());
  EXPECT_TRUE(complete(wal_segment(0, 5)));
  EXPECT_TRUE(complete(wal_segment(0, 3)));  // an earlier stop asks for no less
  EXPECT_TRUE(log_.messages().empty());
  // Recovery would stop at segment 5 and report success.
  EXPECT_FALSE(complete(wal_segment(0, 7)));
  boost::filesystem::remove(dir_ / ("archive/" + wal_segment(0, 5)));
  EXPECT_FALSE(complete(wal_segment(0, 5)));
  boost::filesystem::remove(dir_ / ("archive/" + wal_segment(0, 2)));
  EXPECT_FALSE(complete());
  EXPECT_EQ(log_.at("Error"), (Lines{lacks(6, 7), lacks(5, 5), lacks(2, 4)}));
}

// Recovery refuses a restored segment of another size than the cluster's;
// the first segment of the backup tells the cluster's size.
TEST_F(RestoredChain, SegmentSizes) {
  segment(4, kSegmentSize / 2);
  EXPECT_FALSE(complete());
  segment(4);
  segment(2, kSegmentSize - 1);
  EXPECT_FALSE(complete());
  // Files of 1 MiB are segments of a cluster made with that size.
  for (unsigned s = 2; s <= 5; ++s) segment(s, kSegmentSize / 16);
  EXPECT_TRUE(complete(wal_segment(0, 5)));
  EXPECT_EQ(log_.at("Error"),
            (Lines{kSig + ": the restored WAL file " + wal_segment(0, 4) + " has 8388608 bytes, not the 16777216 bytes of "
                          "the cluster's WAL segments: restore the backup again. Nothing was changed",
                   kSig + ": the restored WAL file " + wal_segment(0, 2) + " has 16777215 bytes, which is no WAL segment size"}));
}

// A label that names no WAL file, or none at all, or is no regular file,
// proves nothing; a data directory without one needs no chain.
TEST_F(RestoredChain, LabelsThatNameNoWalFile) {
  const std::string path = dir_ / "data/backup_label";
  label("START WAL LOCATION: 0/2000028 (file 00000001000000000000000g)\n");
  EXPECT_FALSE(complete());
  label("LABEL: a0\n");
  EXPECT_FALSE(complete());
  boost::filesystem::remove(path);
  ASSERT_EQ(symlink("/nonexistent", path.c_str()), 0);
  EXPECT_FALSE(complete());
  EXPECT_EQ(log_.at("Error"),
            (Lines{kSig + ": the backup label names no WAL file: 00000001000000000000000g",
                   "START WAL LOCATION wasn't found in backup file: " + path,
                   "int hx_postgresql_common::get_start_wal_file(const string&, std::string&): " + path +
                       " is a symbolic link, not a regular file",
                   "Unable to open backup file: " + path}));
  boost::filesystem::remove(path);
  log_.clear();
  EXPECT_TRUE(complete(wal_segment(0, 9)));
  EXPECT_TRUE(log_.messages().empty());
}

}  // namespace
