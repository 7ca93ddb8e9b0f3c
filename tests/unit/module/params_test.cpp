// Module parameters of -e: known keys set the framework's settings, every
// other key becomes a custom parameter.
#include "options_test_support.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

using hx_test::LogSink;
using hx_test::StubModule;

const char* const kSeparatorWarning =
    "Warning: void HxModuleUniversal::parce_param_string(): Separator ':' is not found in string: ";

TEST(ModuleParams, DefaultsWithoutParameters) {
  LogSink log;
  StubModule m;
  m.parse_params("");
  EXPECT_EQ(m.hxd_hash_algorithm_, "sha2");
  EXPECT_EQ(m.hxd_hash_length_, 256u);
  EXPECT_EQ(m.hxd_block_size_, 16384u);
  EXPECT_FALSE(m.file_list_);
  EXPECT_FALSE(m.numeric_owner_);
  EXPECT_FALSE(m.last_);
  EXPECT_FALSE(m.without_deployment_restore_);
  EXPECT_TRUE(m.special_params_.empty());
  EXPECT_EQ(m.custom_parameter_calls, 1);  // called even for an empty string
  EXPECT_TRUE(log.messages().empty());
}

TEST(ModuleParams, KnownKeysAndCustomParameters) {
  StubModule m;
  m.parse_params("hxd_block_size:65536,last:true,pg_version:12.4");
  EXPECT_EQ(m.hxd_block_size_, 65536u);
  EXPECT_TRUE(m.last_);
  std::string value;
  EXPECT_TRUE(m.find_special_param("pg_version", value));
  EXPECT_EQ(value, "12.4");
  EXPECT_EQ(m.special_params_.size(), 1u);
  // The custom hook runs after the last item.
  EXPECT_EQ(m.custom_parameter_calls, 1);
  EXPECT_EQ(m.params_at_custom_call.count("pg_version"), 1u);
}

TEST(ModuleParams, ValueKeepsFurtherSeparators) {
  StubModule m;
  m.parse_params("config_file:/etc/x.conf:old,tmp_catalog:/a:b,hxd_hash_algorithm:sha3:x");
  std::string value;
  EXPECT_TRUE(m.find_special_param("config_file", value));
  EXPECT_EQ(value, "/etc/x.conf:old");
  EXPECT_EQ(m.tmp_catalog_, "/a:b");
  EXPECT_EQ(m.hxd_hash_algorithm_, "sha3:x");
}

TEST(ModuleParams, ItemWithoutSeparatorWarnsAndParsingGoesOn) {
  LogSink log;
  StubModule m;
  m.parse_params("last,hxd_block_size:1024,data_directory:/d");
  EXPECT_FALSE(m.last_);
  EXPECT_EQ(m.hxd_block_size_, 1024u);
  std::string value;
  EXPECT_TRUE(m.find_special_param("data_directory", value));
  EXPECT_EQ(value, "/d");
  ASSERT_EQ(log.messages().size(), 1u);
  EXPECT_EQ(log.messages()[0], std::string(kSeparatorWarning) + "last");
}

TEST(ModuleParams, EmptyItemsAreSkippedSilently) {
  LogSink log;
  StubModule m;
  m.parse_params(",,a:1,,b:2,");
  EXPECT_TRUE(log.messages().empty());
  EXPECT_EQ(m.special_params_.size(), 2u);
  EXPECT_EQ(m.special_params_.at("a"), "1");
  EXPECT_EQ(m.special_params_.at("b"), "2");
}

TEST(ModuleParams, BooleanRules) {
  {
    StubModule m;
    m.parse_params("file_list:yes,numeric_owner:TRUE,last:t");
    EXPECT_FALSE(m.file_list_);
    EXPECT_FALSE(m.numeric_owner_);
    EXPECT_FALSE(m.last_);  // only "true" marks the last part
  }
  {
    StubModule m;
    m.parse_params("file_list:t,numeric_owner:true,last:true");
    EXPECT_TRUE(m.file_list_);
    EXPECT_TRUE(m.numeric_owner_);
    EXPECT_TRUE(m.last_);
  }
  {
    // For known keys the last occurrence wins.
    StubModule m;
    m.parse_params("file_list:t,file_list:no,hxd_hash_algorithm:a,hxd_hash_algorithm:b");
    EXPECT_FALSE(m.file_list_);
    EXPECT_EQ(m.hxd_hash_algorithm_, "b");
  }
}

TEST(ModuleParams, WithoutDeploymentOnlyEverSetByYes) {
  {
    StubModule m;
    m.parse_params("without_deployment_restore:yes,without_deployment_restore:no");
    EXPECT_TRUE(m.without_deployment_restore_);
  }
  {
    StubModule m;
    m.parse_params("without_deployment_restore:true");
    EXPECT_FALSE(m.without_deployment_restore_);
  }
}

TEST(ModuleParams, CustomParameterKeepsItsFirstValue) {
  StubModule m;
  m.parse_params("data_directory:/a,data_directory:/b");
  std::string value;
  EXPECT_TRUE(m.find_special_param("data_directory", value));
  EXPECT_EQ(value, "/a");
}

TEST(ModuleParams, FindSpecialParamEmptyAndAbsent) {
  StubModule m;
  m.parse_params("pg_version:");
  std::string value = "before";
  EXPECT_FALSE(m.find_special_param("pg_version", value));  // present but empty
  EXPECT_EQ(value, "");
  value = "before";
  EXPECT_FALSE(m.find_special_param("config_file", value));  // absent: value untouched
  EXPECT_EQ(value, "before");
}

TEST(ModuleParams, KeysAreExactAndCaseSensitive) {
  StubModule m;
  m.parse_params(" last:true,Last:true,LAST:true");
  EXPECT_FALSE(m.last_);
  EXPECT_EQ(m.special_params_.count(" last"), 1u);
  EXPECT_EQ(m.special_params_.count("Last"), 1u);
  EXPECT_EQ(m.special_params_.count("LAST"), 1u);
}

TEST(ModuleParams, NumbersFollowStoi) {
  StubModule m;
  m.parse_params("hxd_block_size: 42kB,hxd_hash_length:+512");
  EXPECT_EQ(m.hxd_block_size_, 42u);  // leading blank accepted, trailing text ignored
  EXPECT_EQ(m.hxd_hash_length_, 512u);
}

TEST(ModuleParams, NumberThatDoesNotConvertThrows) {
  {
    StubModule m;
    EXPECT_THROW(m.parse_params("hxd_hash_length:abc"), std::invalid_argument);
  }
  {
    StubModule m;
    EXPECT_THROW(m.parse_params("hxd_block_size:99999999999"), std::out_of_range);
  }
  {
    StubModule m;
    EXPECT_THROW(m.parse_params("hxd_block_size:"), std::invalid_argument);
  }
}

TEST(ModuleParams, CommandLineWithBadNumberIsRefused) {
  LogSink log;
  StubModule m;
  EXPECT_FALSE(m.parse({"prog", "-b", "X", "-e", "hxd_hash_length:abc"}));
  ASSERT_EQ(log.messages().size(), 1u);
  EXPECT_EQ(log.messages()[0],
            "Error: bool HxModuleUniversal::parse_module_options(int, char**, HxModuleOptions&): stoi");
}

TEST(ModuleParams, CommandLineParsesParametersLast) {
  StubModule m;
  ASSERT_TRUE(m.parse({"prog", "-e", "last:true,pg_version:15.2", "-r", "R7"}));
  EXPECT_TRUE(m.last_);
  std::string value;
  EXPECT_TRUE(m.find_special_param("pg_version", value));
  EXPECT_EQ(value, "15.2");
  EXPECT_EQ(m.custom_parameter_calls, 1);
}

}  // namespace
