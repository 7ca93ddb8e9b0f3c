// Module parameters of -e: known keys set the framework's settings, every other
// key becomes a custom parameter.
#include "options_test_support.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

using hx_test::LogCapture;
using hx_test::StubModule;

std::unique_ptr<StubModule> with(const std::string& params) {
  auto module = std::make_unique<StubModule>();
  module->parse_params(params);
  return module;
}

// The custom parameter's value, "<absent>" when find_special_param is false.
std::string special(const StubModule& m, const std::string& key) {
  std::string value = "<absent>";
  return m.find_special_param(key, value) ? value : "<absent>";
}

TEST(ModuleParams, DefaultsWithoutParameters) {
  LogCapture log;
  const auto m = with("");
  EXPECT_EQ(m->hxd_hash_algorithm_, "sha2");
  EXPECT_EQ(m->hxd_hash_length_, 256u);
  EXPECT_EQ(m->hxd_block_size_, 16384u);
  EXPECT_FALSE(m->file_list_ || m->numeric_owner_ || m->last_ || m->without_deployment_restore_);
  EXPECT_TRUE(m->special_params_.empty());
  EXPECT_EQ(m->custom_parameter_calls, 1);  // called even for an empty string
  EXPECT_TRUE(log.messages().empty());
}

TEST(ModuleParams, KnownKeysCustomParametersAndSeparators) {
  auto m = with("hxd_block_size:65536,last:true,pg_version:12.4");
  EXPECT_EQ(m->hxd_block_size_, 65536u);
  EXPECT_TRUE(m->last_);
  EXPECT_EQ(special(*m, "pg_version"), "12.4");
  EXPECT_EQ(m->special_params_.size(), 1u);
  EXPECT_EQ(m->custom_parameter_calls, 1);  // after the last item
  EXPECT_EQ(m->params_at_custom_call.count("pg_version"), 1u);

  m = with("config_file:/etc/x.conf:old,tmp_catalog:/a:b,hxd_hash_algorithm:sha3:x");
  EXPECT_EQ(special(*m, "config_file"), "/etc/x.conf:old");
  EXPECT_EQ(m->tmp_catalog_, "/a:b");
  EXPECT_EQ(m->hxd_hash_algorithm_, "sha3:x");
}

TEST(ModuleParams, ItemsWithoutSeparatorWarnEmptyItemsAreSkipped) {
  LogCapture log;
  auto m = with("last,hxd_block_size:1024,data_directory:/d");
  EXPECT_FALSE(m->last_);
  EXPECT_EQ(m->hxd_block_size_, 1024u);
  EXPECT_EQ(special(*m, "data_directory"), "/d");
  EXPECT_EQ(log.messages().size(), 1u);
  log.clear();
  m = with(",,a:1,,b:2,");
  EXPECT_TRUE(log.messages().empty());
  EXPECT_EQ(m->special_params_, (std::map<std::string, std::string>{{"a", "1"}, {"b", "2"}}));
}

TEST(ModuleParams, BooleanRulesAndRepeatedKeys) {
  auto m = with("file_list:yes,numeric_owner:TRUE,last:t");
  EXPECT_FALSE(m->file_list_ || m->numeric_owner_ || m->last_);  // only "true" marks the last part
  m = with("file_list:t,numeric_owner:true,last:true");
  EXPECT_TRUE(m->file_list_ && m->numeric_owner_ && m->last_);
  // Known keys: the last occurrence wins; custom parameters keep the first.
  m = with("file_list:t,file_list:no,hxd_hash_algorithm:a,hxd_hash_algorithm:b,data_directory:/a,data_directory:/b");
  EXPECT_FALSE(m->file_list_);
  EXPECT_EQ(m->hxd_hash_algorithm_, "b");
  EXPECT_EQ(special(*m, "data_directory"), "/a");
  // without_deployment_restore is only ever set, and only by "yes".
  EXPECT_TRUE(with("without_deployment_restore:yes,without_deployment_restore:no")->without_deployment_restore_);
  EXPECT_FALSE(with("without_deployment_restore:true")->without_deployment_restore_);
}

TEST(ModuleParams, FindSpecialParamEmptyAbsentAndExactKeys) {
  const auto m = with("pg_version:, last:true,Last:true");
  std::string value = "before";
  EXPECT_FALSE(m->find_special_param("pg_version", value));  // present but empty
  EXPECT_EQ(value, "");
  value = "before";
  EXPECT_FALSE(m->find_special_param("config_file", value));  // absent: value untouched
  EXPECT_EQ(value, "before");
  EXPECT_FALSE(m->last_);
  EXPECT_EQ(special(*m, " last"), "true");
  EXPECT_EQ(special(*m, "Last"), "true");
}

TEST(ModuleParams, NumbersFollowStoi) {
  const auto m = with("hxd_block_size: 42kB,hxd_hash_length:+512");
  EXPECT_EQ(m->hxd_block_size_, 42u);  // leading blank accepted, trailing text ignored
  EXPECT_EQ(m->hxd_hash_length_, 512u);
  EXPECT_THROW(with("hxd_hash_length:abc"), std::invalid_argument);
  EXPECT_EQ(with("hxd_block_size:2147483647")->hxd_block_size_, 2147483647u);  // the largest int
  EXPECT_THROW(with("hxd_block_size:2147483648"), std::out_of_range);
  EXPECT_THROW(with("hxd_hash_length:-2147483649"), std::out_of_range);
  EXPECT_THROW(with("hxd_block_size:"), std::invalid_argument);
}

TEST(ModuleParams, CommandLineParsesParametersAfterTheOptions) {
  StubModule m;
  ASSERT_TRUE(m.parse({"-e", "last:true,pg_version:15.2", "-r", "R7"}));
  EXPECT_TRUE(m.last_);
  EXPECT_EQ(special(m, "pg_version"), "15.2");
  EXPECT_EQ(m.custom_parameter_calls, 1);
}

}  // namespace
