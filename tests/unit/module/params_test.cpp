// Module parameters of -e: known keys set the framework's settings, every other
// key becomes a custom parameter.
#include "options_test_support.h"

#include <gtest/gtest.h>


namespace {

using hx_test::LogCapture;
using hx_test::StubModule;

std::unique_ptr<StubModule> with(const std::string& params) {
  auto module = std::make_unique<StubModule>();
  module->parse_params(params);
  return module;
}

// What judging the parameters logs, and "refused" when they are refused.
std::string judged(StubModule& m) {
  LogCapture log;
  const bool valid = m.module_parameters_valid();
  return log.text() + (valid ? "" : "refused");
}

const std::string kInvalid = "Error: The module parameter ";

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
  // A forgotten ":" would skip the deployment of a last part unnoticed.
  EXPECT_EQ(judged(*m), kInvalid + "item 'last' has no ':': only key:value items are accepted\nrefused");
  log.clear();
  m = with(",,a:1,,b:2,");
  EXPECT_TRUE(log.messages().empty());
  EXPECT_EQ(m->special_params_, (std::map<std::string, std::string>{{"a", "1"}, {"b", "2"}}));
  EXPECT_EQ(judged(*m), "");
}

TEST(ModuleParams, BooleanRulesAndRepeatedKeys) {
  // Values the rules would read as false are refused, each named with what
  // is accepted, in the order given.
  auto m = with("file_list:yes,numeric_owner:TRUE,last:t,without_deployment_restore:true,last:");
  EXPECT_FALSE(m->file_list_ || m->numeric_owner_ || m->last_);  // only "true" marks the last part
  EXPECT_FALSE(m->without_deployment_restore_);
  const std::string flags = "': only t, true, f or false is accepted\n";
  EXPECT_EQ(judged(*m), kInvalid + "file_list has an invalid value 'yes" + flags + kInvalid +
                            "numeric_owner has an invalid value 'TRUE" + flags + kInvalid +
                            "last has an invalid value 't': only true or false is accepted\n" + kInvalid +
                            "without_deployment_restore has an invalid value 'true': only yes or no is accepted\n" +
                            kInvalid + "last has an invalid value '': only true or false is accepted\nrefused");
  m = with("file_list:t,numeric_owner:true,last:true");
  EXPECT_TRUE(m->file_list_ && m->numeric_owner_ && m->last_);
  EXPECT_EQ(judged(*m), "");
  m = with("file_list:f,numeric_owner:false,last:false,without_deployment_restore:no");
  EXPECT_FALSE(m->file_list_ || m->numeric_owner_ || m->last_ || m->without_deployment_restore_);
  EXPECT_EQ(judged(*m), "");
  // Known keys: the last occurrence wins; custom parameters keep the first.
  m = with("file_list:t,file_list:no,hxd_hash_algorithm:a,hxd_hash_algorithm:b,data_directory:/a,data_directory:/b");
  EXPECT_FALSE(m->file_list_);
  EXPECT_EQ(m->hxd_hash_algorithm_, "b");
  EXPECT_EQ(special(*m, "data_directory"), "/a");
  EXPECT_EQ(judged(*m), kInvalid + "file_list has an invalid value 'no" + flags + "refused");
  // without_deployment_restore is only ever set, and only by "yes".
  m = with("without_deployment_restore:yes,without_deployment_restore:no");
  EXPECT_TRUE(m->without_deployment_restore_);
  EXPECT_EQ(judged(*m), "");
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

TEST(ModuleParams, NumbersAreDigitsOnly) {
  auto m = with("hxd_block_size:065536,hxd_hash_length:512");
  EXPECT_EQ(m->hxd_block_size_, 65536u);
  EXPECT_EQ(m->hxd_hash_length_, 512u);
  EXPECT_EQ(judged(*m), "");
  m = with("hxd_block_size:2147483647");
  EXPECT_EQ(m->hxd_block_size_, 2147483647u);  // the largest int
  EXPECT_EQ(judged(*m), "");
  // A blank, a sign, trailing text, nothing, or a number beyond int: refused,
  // the setting keeps its value.
  m = with("hxd_block_size: 42,hxd_hash_length:+512,hxd_block_size:42kB,hxd_hash_length:abc,"
           "hxd_block_size:2147483648,hxd_hash_length:-1,hxd_block_size:");
  EXPECT_EQ(m->hxd_block_size_, 16384u);
  EXPECT_EQ(m->hxd_hash_length_, 256u);
  std::string expected;
  for (const auto& [key, value] : std::vector<std::pair<std::string, std::string>>{
           {"hxd_block_size", " 42"}, {"hxd_hash_length", "+512"}, {"hxd_block_size", "42kB"},
           {"hxd_hash_length", "abc"}, {"hxd_block_size", "2147483648"}, {"hxd_hash_length", "-1"},
           {"hxd_block_size", ""}}) {
    expected += kInvalid + key + " has an invalid value '" + value +
                "': only digits are accepted, a number up to 2147483647\n";
  }
  EXPECT_EQ(judged(*m), expected + "refused");
}

TEST(ModuleParams, CommandLineParsesParametersAfterTheOptions) {
  StubModule m;
  ASSERT_TRUE(m.parse({"-e", "last:true,pg_version:15.2", "-r", "R7"}));
  EXPECT_TRUE(m.last_);
  EXPECT_EQ(special(m, "pg_version"), "15.2");
  EXPECT_EQ(m.custom_parameter_calls, 1);
}

}  // namespace
