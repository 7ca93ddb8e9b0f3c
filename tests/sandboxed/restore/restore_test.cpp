// Recovery settings of a restored data directory and the deployment of
// restore roots built here, with the server's real pg_ctl run through sudo as
// the postgres account. The deployments use a configuration directory of
// their own in which no server runs, so the test bed's server is left alone;
// the roads with a running server are in tests/e2e/pg_restore.sh.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <boost/format.hpp>

#include <cstdlib>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "postgresql/hx_module_pg_ostrel.h"
#include "postgresql/hx_postgresql_common.h"
#include "postgresql/placement.h"
#include "utils/descriptors.h"
#include "tests/support/test_support.h"

namespace {

namespace fs = boost::filesystem;
namespace pg = hx_postgresql_common;
namespace pl = hx_postgresql_common::placement;
using hx_test::env;
using hx_test::read_file;
using hx_test::sh;

const std::string kDeploy =
    "bool hx_postgresql_common::deployment(const hx_pg_conf&, const pg_version&, const string&, const string&, "
    "const string&)";
const std::string kPostRestore =
    "bool hx_postgresql_common::post_restore(const hx_pg_conf&, const pg_version&, const string&)";

// Value of a server setting as PostgreSQL reads it from a configuration file.
std::string server_reads(const std::string& file, const std::string& setting) {
  std::string out;
  sh("cd / && setpriv --reuid=postgres --regid=postgres --init-groups --reset-env " + env("HX_PG_BIN") +
         "/postgres -D " + env("HX_PG_DATA") + " --config-file=" + file + " -C " + setting + " 2>/dev/null",
     &out);
  if (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

// A recovery command with the server's placeholders filled in.
std::string expand(const std::string& command, const std::string& file, const std::string& path) {
  std::string out;
  for (std::size_t i = 0; i < command.size(); ++i) {
    if (command[i] == '%' && i + 1 < command.size()) {
      const char c = command[++i];
      out += c == 'f' || c == 'r' ? file : c == 'p' ? path : std::string(1, c);
    } else {
      out += command[i];
    }
  }
  return out;
}

// Makes paths immutable (chattr +i: not even root may delete or change them)
// for its lifetime; with `now` false, only frees them at its end.
struct Immutable {
  explicit Immutable(std::string list, bool now = true) : paths(std::move(list)) {
    if (now) {
      EXPECT_EQ(sh("chattr +i " + paths), 0) << paths;
    }
  }
  ~Immutable() { sh("chattr -i " + paths); }
  std::string paths;
};

struct stat stat_of(const std::string& path) {
  struct stat st {};
  ::lstat(path.c_str(), &st);
  return st;
}

TEST(PostRestore, RecoveryFilesByMajorAndRuntimeDirectories) {
  hx_test::TempDir dir;
  chmod(dir.str().c_str(), 0755);
  const pg::owner_t postgres = pg::get_user_uid_gid("postgres");
  hx_pg_conf conf;
  conf.archive_catalog = "/srv/wal";

  fs::create_directories(dir / "d11/pg_stat");
  ASSERT_EQ(chown((dir / "d11/pg_stat").c_str(), 0, 0), 0);
  dir.write("d11/recovery.done", "old");
  // A link planted where a recovery file goes is replaced; its target stays.
  const std::string victim = dir.write("victim", "standby_mode = on\n");
  fs::create_symlink(victim, dir / "d11/recovery.conf");
  hx_test::LogCapture log(HxLogLvl::DebugMask);
  ASSERT_TRUE(pg::post_restore(conf, pg_version(11, 4), dir / "d11"));
  EXPECT_EQ("restore_command = 'cp /srv/wal/%f %p'\narchive_cleanup_command = '/usr/bin/pg_archivecleanup /srv/wal/ %r'\n",
            read_file(dir / "d11/recovery.conf"));
  const struct stat conf_stat = stat_of(dir / "d11/recovery.conf");
  EXPECT_EQ(0644u, conf_stat.st_mode & 07777);
  EXPECT_EQ(boost::tuples::get<0>(postgres), conf_stat.st_uid);
  EXPECT_FALSE(fs::exists(dir / "d11/recovery.done"));
  EXPECT_FALSE(fs::exists(dir / "d11/recovery.signal"));
  for (const char* name : {"pg_replslot", "pg_dynshmem", "pg_notify", "pg_serial", "pg_snapshots", "pg_stat_tmp",
                           "pg_subtrans", "pg_commit_ts", "pg_tblspc", "pg_twophase"}) {
    EXPECT_EQ(boost::tuples::get<0>(postgres), stat_of(dir / "d11/" + name).st_uid) << name;
  }
  EXPECT_EQ(0u, stat_of(dir / "d11/pg_stat").st_uid) << "an existing directory is left as it is";

  // Major 0 (no version known), 12 and 15: an empty recovery.signal, made anew.
  for (unsigned major : {0u, 12u, 15u}) {
    const std::string data = dir / ("d" + std::to_string(major));
    fs::create_directories(data);
    dir.write("d" + std::to_string(major) + "/recovery.signal", "left over");
    if (major == 12) {
      fs::remove(data + "/recovery.signal");
      fs::create_symlink(victim, data + "/recovery.signal");
    }
    ASSERT_TRUE(pg::post_restore(conf, pg_version(major, 0), data));
    EXPECT_EQ("", read_file(data + "/recovery.signal"));
    EXPECT_EQ(0644u, stat_of(data + "/recovery.signal").st_mode & 07777);
    EXPECT_FALSE(fs::exists(data + "/recovery.conf"));
  }
  EXPECT_EQ("standby_mode = on\n", read_file(victim));
  EXPECT_EQ(0u, stat_of(victim).st_uid);
  EXPECT_TRUE(log.at("Error").empty()) << log.text();

  conf.postgresql_admin = "no-such-account";
  EXPECT_FALSE(pg::post_restore(conf, pg_version(15, 0), dir / "d15"));
  EXPECT_EQ(kPostRestore + ": getpwnam returned a null passwd structure (Success)", log.at("Error").back());
  conf.postgresql_admin = "postgres";
  EXPECT_FALSE(pg::post_restore(conf, pg_version(15, 0), dir / "missing/dir"));
  EXPECT_EQ(kPostRestore + ": can't create \"" + (dir / "missing/dir/recovery.signal") + "\"", log.at("Error").back());

  // A recovery.done that cannot be deleted is reported, and the settings are written all the same.
  dir.write("d15/recovery.done", "old");
  {
    const Immutable done(dir / "d15/recovery.done");
    EXPECT_TRUE(pg::post_restore(conf, pg_version(15, 0), dir / "d15"));
  }
  EXPECT_EQ(kPostRestore + ": can't delete \"" + (dir / "d15/recovery.done") + "\" (Operation not permitted)",
            log.at("Error").back());

  // A process that may not hand files over: each runtime directory it makes
  // is reported, and the settings are written all the same.
  log.clear();
  fs::create_directories(dir / "bare");
  {
    const hx_test::WithoutCapability no_chown(CAP_CHOWN);
    EXPECT_TRUE(pg::post_restore(conf, pg_version(15, 0), dir / "bare"));
  }
  std::vector<std::string> refused = {kPostRestore + ": chown file \"" + dir / "bare/recovery.signal" + "\" by " +
                                      std::to_string(boost::tuples::get<0>(postgres)) + ":" +
                                      std::to_string(boost::tuples::get<1>(postgres)) +
                                      " failed (Operation not permitted)"};
  for (const char* name : {"pg_replslot", "pg_dynshmem", "pg_notify", "pg_serial", "pg_snapshots", "pg_stat_tmp",
                           "pg_subtrans", "pg_commit_ts", "pg_stat", "pg_tblspc", "pg_twophase"}) {
    refused.push_back(kPostRestore + ": chown directory \"" + dir / "bare/" + name + "\" by " +
                      std::to_string(boost::tuples::get<0>(postgres)) + ":" +
                      std::to_string(boost::tuples::get<1>(postgres)) + " failed (Operation not permitted)");
  }
  EXPECT_EQ(log.at("Error"), refused);
  EXPECT_TRUE(fs::exists(dir / "bare/recovery.signal"));
  // One that may not change the mode of a file it gave away.
  log.clear();
  {
    const hx_test::WithoutCapability no_fowner(CAP_FOWNER);
    EXPECT_TRUE(pg::post_restore(conf, pg_version(15, 0), dir / "bare"));
  }
  EXPECT_EQ(log.at("Error"), std::vector<std::string>{kPostRestore + ": chmod file \"" + dir / "bare/recovery.signal" +
                                                      "\" to 0644 failed (Operation not permitted)"});
}

// The restore root is made root's (0700) and stays so through the hooks; one
// found that another account could change, or a directory for it that is
// not root's, is refused with what to remove; a restore without deployment
// gives the root to the server's account at its end, and says when it can't.
TEST(RestoreHooks, RestoreRootStaysRootsUntilARestoreWithoutDeploymentEnds) {
  hx_test::TempDir dir;
  const pg::owner_t postgres = pg::get_user_uid_gid("postgres");
  const std::string account = std::to_string(boost::tuples::get<0>(postgres));
  const std::string rest = dir / "R.rest", root = rest + "/postgresql_15.2";
  auto module_for = [&](const std::string& parent, const std::string& params) {
    HxModuleOptions options;
    options.mode = HxModuleMode::Restore;
    options.tmp_operation_directory = parent;
    options.module_params = params;
    auto module = std::make_unique<HxModule_PG_Ostrel>(options);
    module->parce_param_string();
    return module;
  };
  fs::create_directories(rest);
  hx_test::LogCapture log;
  auto module = module_for(rest, "pg_version:15.2,data_directory:/srv,last:true,without_deployment_restore:yes");
  ASSERT_TRUE(module->before_restore() && module->after_restore()) << log.text();
  EXPECT_EQ("0 40700", std::to_string(stat_of(root).st_uid) + " " + (boost::format("%o") % stat_of(root).st_mode).str());
  {
    const Immutable frozen(root);
    EXPECT_FALSE(module->after_restore_last_file());
  }
  EXPECT_EQ("Command chown " + account + ":" + std::to_string(boost::tuples::get<1>(postgres)) + " \"" + root +
                "\" failed!",
            log.at("Error").back());
  EXPECT_TRUE(module->after_restore_last_file());
  EXPECT_EQ(boost::tuples::get<0>(postgres), stat_of(root).st_uid);

  const std::string hook = "virtual bool HxModule_PG_Ostrel::before_restore(): ";
  auto refused = [&](const std::string& parent, const std::string& error) {
    log.clear();
    EXPECT_FALSE(module_for(parent, "pg_version:15.2")->before_restore());
    EXPECT_EQ(std::vector<std::string>{error}, log.at("Error"));
  };
  refused(rest, hook + "the restore root \"" + root + "\" can't be used (it is owned by uid " + account +
                    "): remove it and run the restore again");
  fs::remove(root);
  fs::create_symlink(dir.str(), root);
  refused(rest, hook + "the restore root \"" + root + "\" can't be used (it is a symbolic link): remove it and run "
                    "the restore again");
  fs::remove(root);
  fs::create_directory(root);
  ASSERT_EQ(0, ::chmod(root.c_str(), 0755));
  refused(rest, hook + "the restore root \"" + root + "\" can't be used (others may read it): remove it and run the "
                    "restore again");
  ASSERT_EQ(0, ::chown(rest.c_str(), boost::tuples::get<0>(postgres), 0));
  refused(rest, hook + "the directory \"" + rest + "\" can't hold the restore: \"" + rest + "\": it is owned by uid " +
                    account);
}

TEST(PostRestore, RecoveryCommandsStayIntactForAnyArchivePath) {
  hx_test::TempDir dir;
  chmod(dir.str().c_str(), 0755);
  const std::string archive = dir / "wal it's a $(touch pwned) \\ 100%";
  fs::create_directories(archive);
  dir.write("wal it's a $(touch pwned) \\ 100%/000000010000000000000001", "segment");
  hx_pg_conf conf;
  conf.archive_catalog = archive;
  ASSERT_TRUE(pg::post_restore(conf, pg_version(10, 1), dir.str()));

  // The server reads back commands that, with its placeholders filled in
  // and run by a shell, copy from that very directory.
  const std::string restore = server_reads(dir / "recovery.conf", "restore_command");
  ASSERT_NE(std::string::npos, restore.find("100%%'/%f %p")) << restore;
  EXPECT_EQ(0, sh("cd " + dir.str() + " && " + expand(restore, "000000010000000000000001", dir / "copied")));
  const std::string cleanup = server_reads(dir / "recovery.conf", "archive_cleanup_command");
  const std::string program = "/usr/bin/pg_archivecleanup ";
  ASSERT_EQ(0u, cleanup.find(program)) << cleanup;
  EXPECT_EQ(0, sh("cd " + dir.str() + " && test -d " + expand(cleanup.substr(program.size()), "", "")));
  EXPECT_EQ("segment", read_file(dir / "copied"));
  EXPECT_FALSE(fs::exists(dir / "pwned"));
}

// A restore root as the archiver leaves it, for a server whose directories
// lie below "srv" of a temporary directory, and a configuration directory
// in which no server runs.
class Deployment : public ::testing::Test {
 protected:
  void SetUp() override {
    chmod(dir_.str().c_str(), 0755);
    fs::remove_all(dir_ / "records");
    // The deployment's cp: at a copy into the data directory it first runs
    // the commands of the file "control", when there is one.
    if (fs::create_directories(dir_ / "bin")) {
      dir_.write("bin/cp", "#!/bin/sh\ncase \"$(readlink -f \"$3\")\" in " + dir_.str() +
                               "/srv/data/.hx_restore_deployment/incoming)\n  [ ! -f " +
                               dir_.str() + "/control ] || . " + dir_.str() + "/control ;;\nesac\nexec /bin/cp \"$@\"\n");
      chmod((dir_ / "bin/cp").c_str(), 0755);
      setenv("PATH", (dir_ / "bin:" + path_).c_str(), 1);
    }
    root_ = dir_ / "R.rest/postgresql_15";
    data_ = dir_ / "srv/data";
    conf_.archive_catalog = dir_ / "srv/wal_archive";
    conf_.pg_ctl = env("HX_PG_BIN") + "/pg_ctl";
    config_file_ = dir_ / "etc/postgresql.conf";
    fs::create_directories(dir_ / "etc");
    fs::create_directories(dir_ / "srv");
    unpack();
  }

  // The restore root as the archiver leaves it (again: over what is there).
  void unpack() {
    restored("/srv/data/pg_wal/000000010000000000000003", "wal");
    restored("/srv/data/PG_VERSION", "15\n");
    restored("/srv/data/.hidden", "dot");
    restored("/srv/data/line\nend", "odd");
    restored("/srv/wal_archive/000000010000000000000002", "archived");
  }

  // A file of the restore root at the server path `path` (below the
  // temporary directory), owned as the archiver restores the server's
  // files: by its account, as is the server's path below the directory.
  void restored(const std::string& path, const std::string& content) {
    fs::create_directories(fs::path(root_ + dir_.str() + path).parent_path());
    std::ofstream(root_ + dir_.str() + path) << content;
    const std::string top = path.substr(0, path.find('/', 1));
    sh("chown -R postgres:postgres '" + root_ + dir_.str() + top + "'");
  }
  void map(const std::string& text) { restored(data_.substr(dir_.str().size()) + "/tablespace_map", text); }
  void TearDown() override { setenv("PATH", path_.c_str(), 1); }
  // The server's directories below "srv", "srv" and all they hold are its
  // account's, as a deployment requires (unless `hand_over` is false).
  bool deploy(unsigned major = 15, bool hand_over = true) {
    if (hand_over) {
      // Directories of root's alone (the deployment's own, 0700, or one it
      // made and has not handed over yet, without permission bits) stay
      // root's.
      sh("find " + dir_.str() + "/srv \\( -type d -user root \\( -perm 700 -o -perm 0 \\) -prune \\) -o -exec chown -h "
         "postgres:postgres {} + 2>/dev/null");
    }
    return pg::deployment(conf_, pg_version(major, 0), data_, config_file_, root_, dir_ / "records");
  }
  // A deployment in a process of its own whose cp runs `control` (which may
  // kill it); true when it was killed.
  bool killed_deploy(const std::string& control) {
    dir_.write("control", control);
    const pid_t child = ::fork();
    if (child == 0) {
      deploy();
      ::_exit(0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    fs::remove(dir_ / "control");
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
  }
  // A deployment in a process of its own, traced by strace with `options`
  // (its output to `output`); `meanwhile` runs once the tracer is attached
  // and the deployment goes. The deployment's wait status: exit 0 when it
  // succeeded, 1 when it failed.
  int traced_deploy(const std::vector<std::string>& options, const std::string& output = "/dev/null",
                    const std::function<void()>& meanwhile = {}) {
    int go[2];
    if (::pipe(go) != 0) return -1;
    const pid_t child = ::fork();
    if (child == 0) {
      char c = 0;
      ::close(go[1]);
      if (::read(go[0], &c, 1) == 1) ::_exit(deploy() ? 0 : 1);
      ::_exit(2);
    }
    ::close(go[0]);
    const pid_t tracer = ::fork();
    if (tracer == 0) {
      std::vector<std::string> args = {"strace", "-qq", "-o", output};
      args.insert(args.end(), options.begin(), options.end());
      args.insert(args.end(), {"-p", std::to_string(child)});
      std::vector<char*> argv;
      for (std::string& arg : args) argv.push_back(&arg[0]);
      argv.push_back(nullptr);
      ::execvp("strace", argv.data());
      ::_exit(127);
    }
    // The child goes on once strace is attached.
    for (int i = 0; i < 6000 && read_file("/proc/" + std::to_string(child) + "/status").find("TracerPid:\t0\n") !=
                                  std::string::npos;
         ++i) {
      ::usleep(10000);
    }
    const bool started = ::write(go[1], "g", 1) == 1;
    ::close(go[1]);
    if (started && meanwhile) meanwhile();
    int status = 0;
    ::waitpid(child, &status, 0);
    ::waitpid(tracer, nullptr, 0);
    return started ? status : -1;
  }
  // A deployment in a process of its own that strace kills at the `when`th
  // call of `call`; true when it was killed.
  bool killed_at(const std::string& call, int when) {
    const int status = traced_deploy(
        {"-e", "trace=" + call, "-e", "inject=" + call + ":signal=SIGKILL:when=" + std::to_string(when)});
    return status != -1 && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
  }
  std::string at(const std::string& path) { return read_file(dir_.str() + path); }
  // Names, types, modes, owners and file sizes below a directory.
  std::string tree(const std::string& path) {
    std::string out;
    sh("cd '" + path + "' && find . \\( -type d -printf '%p d %m %u\\n' \\) -o -printf '%p %y %m %u %s\\n' | sort", &out);
    return out;
  }

  hx_test::TempDir dir_;
  hx_test::LogCapture log_{HxLogLvl::DebugMask};
  hx_test::CoutCapture out_;
  hx_pg_conf conf_;
  std::string root_, data_, config_file_;
  const std::string account_ = std::to_string(boost::tuples::get<0>(pg::get_user_uid_gid("postgres")));
  const std::string path_ = std::getenv("PATH");
};

TEST_F(Deployment, MovesEveryTreeIntoPlace) {
  // Existing destinations with old contents; the tablespace destinations do not exist yet.
  fs::create_directories(dir_ / "srv/data/base/old");
  dir_.write("srv/data/postmaster.opts", "old");
  fs::create_directories(dir_ / "srv/wal_archive");
  dir_.write("srv/wal_archive/000000010000000000000009", "newer");
  const std::string odd = dir_ / "srv/ts $(touch pwned) it's `id`  two";
  // The server writes a backslash before a backslash or a line end of a location.
  map("# comment\n\n16384\t" + dir_.str() + "/srv/ts1\n16385 " + odd + "\n16386 " + dir_.str() +
      "/srv/data/inner_ts\n16387 " + dir_.str() + "/srv/data2\n16388 " + dir_.str() + "/srv/ts\\\\b\\\nc\n");
  restored("/srv/ts1/PG_15_1/f", "ts1");
  restored("/srv/ts $(touch pwned) it's `id`  two/PG_15_1/f", "odd");
  restored("/srv/data/inner_ts/PG_15_1/f", "inner");
  restored("/srv/data2/PG_15_1/f", "prefix of data");
  restored("/srv/ts\\b\nc/PG_15_1/f", "backslash");
  // While the data directory is filled, the server's account renames the set-aside directory in it.
  dir_.write("control", "setpriv --reuid=postgres --regid=postgres --clear-groups mv " + data_ +
                            "/.hx_restore_deployment " + data_ + "/moved");

  ASSERT_TRUE(deploy()) << log_.text();
  EXPECT_FALSE(fs::exists(data_ + "/moved")) << "the set-aside directory, renamed, is removed all the same";
  EXPECT_EQ("wal", at("/srv/data/pg_wal/000000010000000000000003"));
  EXPECT_EQ("dot odd", at("/srv/data/.hidden") + " " + at("/srv/data/line\nend"));
  EXPECT_EQ("inner", at("/srv/data/inner_ts/PG_15_1/f"));
  EXPECT_FALSE(fs::exists(dir_ / "srv/data/base/old") || fs::exists(dir_ / "srv/data/postmaster.opts"));
  EXPECT_EQ("archived", at("/srv/wal_archive/000000010000000000000002"));
  EXPECT_FALSE(fs::exists(dir_ / "srv/wal_archive/000000010000000000000009"));
  EXPECT_EQ("ts1", at("/srv/ts1/PG_15_1/f"));
  EXPECT_EQ("odd", read_file(odd + "/PG_15_1/f"));
  EXPECT_EQ("prefix of data", at("/srv/data2/PG_15_1/f"));
  EXPECT_EQ("backslash", at("/srv/ts\\b\nc/PG_15_1/f"));
  EXPECT_FALSE(fs::exists(dir_ / "R.rest/postgresql_15") || fs::exists("/pwned") || fs::exists(dir_ / "pwned"));
  EXPECT_TRUE(fs::exists(dir_ / "R.rest"));
  EXPECT_TRUE(fs::is_empty(dir_ / "records")) << "the records of a deployment that ended";

  EXPECT_EQ(0u, out_.text().find("Direct restore PostgreSQL database cluster: " + data_ + "...\n"
                                 "Found PostgreSQL DB data_directory in the restored archive: " + root_ + data_ + "\n"
                                 "Found PostgreSQL DB archive WAL in the restored archive: " + root_ + conf_.archive_catalog + "\n"))
      << out_.text();
  const std::vector<std::string> info = log_.at("Info");
  const std::vector<std::string> expected_head = {
      "Found tablespace catalog in restored archive: " + root_ + dir_.str() + "/srv/ts1",
      "Found tablespace catalog in restored archive: " + root_ + odd,
      "Found tablespace catalog in restored archive: " + root_ + dir_.str() + "/srv/data/inner_ts",
      "Found tablespace catalog in restored archive: " + root_ + dir_.str() + "/srv/data2",
      "Found tablespace catalog in restored archive: " + root_ + dir_.str() + "/srv/ts\\b\nc",
      "PostgreSQL is down now",
      "   remove PostgreSQL path: \"" + data_ + "\"",
      "   remove PostgreSQL path: \"" + conf_.archive_catalog + "\"",
      "   remove PostgreSQL path: \"" + dir_.str() + "/srv/ts1\"",
      "   remove PostgreSQL path: \"" + odd + "\"",
      "   remove PostgreSQL path: \"" + dir_.str() + "/srv/data2\"",
      "   remove PostgreSQL path: \"" + dir_.str() + "/srv/ts\\b\nc\"",
      // The data directory is filled last.
      "Move: \"" + root_ + dir_.str() + "/srv/ts\\b\nc\" to \"" + dir_.str() + "/srv\"",
      "Move: \"" + root_ + dir_.str() + "/srv/data2\" to \"" + dir_.str() + "/srv\"",
      "Move: \"" + root_ + odd + "\" to \"" + dir_.str() + "/srv\"",
      "Move: \"" + root_ + dir_.str() + "/srv/ts1\" to \"" + dir_.str() + "/srv\"",
      "Move all files from: \"" + root_ + conf_.archive_catalog + "\" to \"" + conf_.archive_catalog + "\"",
      "Move all files from: \"" + root_ + data_ + "\" to \"" + data_ + "\"",
  };
  ASSERT_GE(info.size(), expected_head.size() + 2);
  EXPECT_EQ(expected_head, std::vector<std::string>(info.begin(), info.begin() + expected_head.size()));
  EXPECT_EQ(" Try to start PostgreSQL...", info[info.size() - 2]);
  EXPECT_EQ("Remove obsoleted: " + root_, info.back());
  // No server can start from this directory: the data are in place all the same.
  EXPECT_EQ(std::vector<std::string>{"Can't start PostgreSQL. The restored cluster is in place; start it by hand: "
                                     "/usr/bin/sudo -iu postgres " + conf_.pg_ctl + " start -D " + dir_.str() + "/etc"},
            log_.at("Error"));
}

TEST_F(Deployment, WalDirectoryLinkAndPgXlog) {
  // A pg_wal link to the server's own WAL directory (where its pg_wal
  // leads), missing: created and handed to postgres.
  fs::remove_all(root_ + data_ + "/pg_wal");
  fs::create_symlink("../wal_elsewhere/pg_wal", root_ + data_ + "/pg_wal");
  map("");
  fs::create_directories(data_);
  fs::create_symlink("../wal_elsewhere/pg_wal", data_ + "/pg_wal");
  ASSERT_TRUE(deploy()) << log_.text();
  EXPECT_EQ(boost::tuples::get<0>(pg::get_user_uid_gid("postgres")), stat_of(dir_ / "srv/wal_elsewhere/pg_wal").st_uid);

  // An existing target holds WAL of the replaced server: emptied, kept.
  dir_.write("srv/wal_elsewhere/pg_wal/000000010000000000000007", "after the backup");
  SetUp();
  fs::remove_all(root_ + data_ + "/pg_wal");
  fs::create_symlink(dir_ / "srv/wal_elsewhere/pg_wal", root_ + data_ + "/pg_wal");
  map("");
  ASSERT_TRUE(deploy()) << log_.text();
  EXPECT_TRUE(fs::is_empty(dir_ / "srv/wal_elsewhere/pg_wal"));

  // The restored and the live pg_wal lead to `to`.
  auto both_lead_to = [&](const std::string& to) {
    SetUp();
    for (const std::string& data : {root_ + data_, data_}) {
      fs::remove_all(data + "/pg_wal");
      fs::create_symlink(to, data + "/pg_wal");
    }
    map("");
  };

  // Both lead to a directory of root's: refused, its files kept; emptied,
  // and not where the live pg_wal leads, refused all the same.
  fs::create_directories(dir_ / "root-wal");
  dir_.write("root-wal/keep", "root's");
  both_lead_to(dir_ / "root-wal");
  const std::string roots = kDeploy + ": the destination \"" + dir_.str() + "/root-wal\" is owned by uid 0, not by "
                                      "the server's account postgres (uid " + account_ + "); nothing was changed";
  EXPECT_FALSE(deploy());
  EXPECT_EQ(roots, log_.at("Error").back());
  EXPECT_EQ("root's", at("/root-wal/keep"));
  fs::remove(dir_ / "root-wal/keep");
  fs::remove(data_ + "/pg_wal");
  log_.clear();
  EXPECT_FALSE(deploy());
  EXPECT_EQ(roots, log_.at("Error").back());

  // A directory the server does not use: refused, its files kept.
  fs::create_directories(dir_ / "srv/other");
  dir_.write("srv/other/keep", "another service's");
  SetUp();
  fs::remove_all(root_ + data_ + "/pg_wal");
  fs::create_symlink(dir_ / "srv/other", root_ + data_ + "/pg_wal");
  map("");
  EXPECT_FALSE(deploy());
  EXPECT_EQ(kDeploy + ": the restored pg_wal is a link to \"" + dir_.str() + "/srv/other\", which is not the WAL "
                      "directory of the server's cluster; nothing was changed",
            log_.at("Error").back());
  EXPECT_EQ("another service's", at("/srv/other/keep"));
  fs::remove_all(dir_ / "R.rest");

  // A link into a destination: the directory is made there once it is filled.
  SetUp();
  fs::remove_all(root_ + data_ + "/pg_wal");
  fs::create_symlink("../wal_archive/pg_wal", root_ + data_ + "/pg_wal");
  map("");
  ASSERT_TRUE(deploy()) << log_.text();
  EXPECT_EQ("archived " + std::to_string(boost::tuples::get<0>(pg::get_user_uid_gid("postgres"))),
            at("/srv/wal_archive/000000010000000000000002") + " " +
                std::to_string(stat_of(conf_.archive_catalog + "/pg_wal").st_uid));

  // The server's account made an element on the way to a missing WAL
  // directory a link into a root-only directory: refused, nothing made there.
  fs::create_directories(dir_ / "secret");
  fs::create_symlink(dir_ / "secret", dir_ / "srv/walhome");
  both_lead_to(dir_ / "srv/walhome/pg_wal");
  EXPECT_FALSE(deploy());
  EXPECT_EQ(kDeploy + ": the restored pg_wal is a link to \"" + dir_.str() + "/srv/walhome/pg_wal\", and \"" +
                dir_.str() + "/srv/walhome\" on the way is a symbolic link; nothing was changed",
            log_.at("Error").back());
  EXPECT_TRUE(fs::is_empty(dir_ / "secret"));
  fs::remove_all(dir_ / "R.rest");

  // Major 9 names the WAL directory pg_xlog; other majors need pg_wal.
  for (unsigned major : {9u, 15u}) {
    SetUp();
    log_.clear();
    fs::rename(root_ + data_ + "/pg_wal", root_ + data_ + "/pg_xlog");
    map("");
    const std::string no_wal = kDeploy + ": pg_wal doesn't exist. Can't start PostgreSQL without pg_wal";
    EXPECT_EQ(major == 9, deploy(major)) << major;
    EXPECT_EQ(major != 9, log_.has("Error", no_wal)) << major;
    EXPECT_EQ(major != 9, fs::exists(root_)) << "the root stays when the server cannot be started";
  }
}

// Each refusal comes before the server is looked at; nothing changes.
TEST_F(Deployment, RefusalsChangeNothing) {
  dir_.write("srv/keep", "kept");
  fs::create_directories(data_);
  dir_.write("srv/data/PG_VERSION", "live");
  const std::string s = dir_.str() + "/srv";
  const std::string planted = kDeploy + ": the destination \"" + data_ + "\" holds \"" + data_ +
                              "/.hx_restore_deployment\", which no deployment of this module recorded (it was not "
                              "read); remove it and run the restore again; nothing was changed";
  auto foreign = [&](const std::string& destination, const std::string& entry) {
    return kDeploy + ": the destination \"" + destination + "\" holds \"" + entry + "; the deployment sets aside and "
           "removes only what the server's account owns on the destination's own mount: move it out of the "
           "destination and run the restore again; nothing was changed";
  };
  // A directory a case makes that deploy() leaves to root, and a mount it
  // makes; undone after the case.
  std::string owned_by_root, mounted;
  struct Case {
    std::string name;
    std::function<void()> arrange;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"no tablespace_map", [] {}, kDeploy + ": Can't open: " + root_ + "/" + data_ + "/tablespace_map"},
      {"tablespace not restored", [&] { map("1 /srv/none\n"); },
       "Tablespace catalog not found in archive: " + root_ + "/srv/none"},
      {"no data directory", [&] { fs::remove_all(root_ + data_); },
       "Can't find data_directory in the restored archive: " + root_},
      {"root inside the WAL archive",
       [&] {
         fs::create_directories(conf_.archive_catalog);
         fs::rename(dir_ / "R.rest", conf_.archive_catalog + "/R.rest");
         root_ = conf_.archive_catalog + "/R.rest/postgresql_15";
         map("");
       },
       kDeploy + ": the restore root \"" + conf_.archive_catalog + "/R.rest/postgresql_15\" and the destination \"" +
           conf_.archive_catalog +
           "\" overlap; restore into a directory outside the server's directories. Nothing was changed"},
      {"relative WAL archive directory", [&] { conf_.archive_catalog = "wal"; map(""); },
       kDeploy + ": the destination \"wal\" is not an absolute path; nothing was changed"},
      {"relative location", [&] { map("1 srv/keep\n"); },
       kDeploy + ": the destination \"srv/keep\" is not an absolute path; nothing was changed"},
      {"location with ..", [&] { map("1 " + s + "/x/../keep\n"); },
       kDeploy + ": the destination \"" + s + "/x/../keep\" has \".\" or \"..\" elements; nothing was changed"},
      {"location /", [&] { map("1 /\n"); },
       kDeploy + ": the destination \"/\" is the root directory; nothing was changed"},
      {"location holding the data directory", [&] { map("1 " + s + "\n"); },
       kDeploy + ": the destinations \"" + data_ + "\" and \"" + s + "\" contain one another; nothing was changed"},
      {"a missing tablespace location in a directory of root's",
       [&] {
         map("1 " + dir_.str() + "/ts\n");
         restored("/ts/PG_15_1/f", "ts");
       },
       kDeploy + ": the destination \"" + dir_.str() + "/ts\" does not exist, and \"" + dir_.str() + "\", where it "
                 "would be made, is owned by uid 0, not by the server's account postgres (uid " + account_ +
           "): make it for that account and run the restore again; nothing was changed"},
      {"pg_ctl with a $", [&] { conf_.pg_ctl = "$HOME/pg_ctl"; map(""); },
       kDeploy + ": unusable value for the server's commands: \"$HOME/pg_ctl\"; nothing was changed"},
      // What the server's account can plant or change is never read.
      {"a set-aside directory planted as a link to records of the account's",
       [&] {
         map("");
         fs::create_directories(dir_ / "account");
         dir_.write("account/filling");
         dir_.write("account/root", root_);
         dir_.write("account/source", s);
         fs::create_symlink(dir_ / "account", data_ + "/.hx_restore_deployment");
       },
       planted},
      {"a set-aside directory that names this restore root",
       [&] {
         map("");
         fs::create_directories(data_ + "/.hx_restore_deployment/old");
         dir_.write("srv/data/.hx_restore_deployment/root", root_);
         dir_.write("srv/data/.hx_restore_deployment/source", s);
         dir_.write("srv/data/.hx_restore_deployment/filling");
       },
       planted},
      {"a link on the way to the restored data directory",
       [&] {
         map("");
         fs::rename(root_ + s, root_ + s + ".real");
         fs::create_symlink("srv.real", root_ + s);
       },
       kDeploy + ": the restored \"" + root_ + data_ + "\" is not a directory reached without following links; "
                 "remove the restore root \"" + root_ + "\" and run the restore again; nothing was changed"},
      // The deployment sets aside and removes only what the server's
      // account owns: root's and another account's entries, and mount
      // points, at any depth, refuse it.
      {"a directory of root's deep in the data directory",
       [&] {
         map("");
         fs::create_directories(data_ + "/base/2/rootdir");
         owned_by_root = data_ + "/base/2/rootdir";
       },
       foreign(data_, data_ + "/base/2/rootdir\", a directory owned by uid 0")},
      {"a mount point below the data directory's top",
       [&] {
         map("");
         fs::create_directories(data_ + "/base/mounted");
         ASSERT_EQ(0, sh("mount -t tmpfs -o size=1m,uid=" + account_ + " hx-deep " + data_ + "/base/mounted"));
         mounted = data_ + "/base/mounted";
       },
       foreign(data_, data_ + "/base/mounted\", a mount point below the destination's top")},
      {"a tablespace location the account links into a directory only root may enter",
       [&] {
         map("1 " + s + "/tsl\n");
         restored("/srv/tsl/PG_15_1/f", "ts");
         fs::create_directories(dir_ / "vault/copy");
         dir_.write("vault/copy/precious", "kept");
         sh("chown -R postgres " + dir_.str() + "/vault/copy && chmod 700 " + dir_.str() + "/vault");
         fs::create_symlink(dir_ / "vault/copy", s + "/tsl");
       },
       kDeploy + ": the server's account postgres can't reach the destination \"" + s + "/tsl\" by its path \"" + s +
           "/tsl\" (Permission denied): the deployment changes only directories the server can use; nothing was "
           "changed"},
      {"a restored tree holding the deployment's own name",
       [&] {
         map("");
         restored("/srv/data/.hx_restore_deployment/old/PG_VERSION", "kept");
       },
       kDeploy + ": the restored \"" + root_ + data_ + "/.hx_restore_deployment\" has a name the deployment keeps for "
                 "its own directory: restore the record without deployment and remove it from the restored tree "
                 "before it is put in place; nothing was changed"},
      {"tablespace_map a FIFO", [&] { ::mkfifo((root_ + data_ + "/tablespace_map").c_str(), 0600); },
       kDeploy + ": Can't open: " + root_ + "/" + data_ + "/tablespace_map"},
      {"tablespace_map a link",
       [&] { fs::create_symlink(dir_.write("map", "1 " + s + "/keep\n"), root_ + data_ + "/tablespace_map"); },
       kDeploy + ": Can't open: " + root_ + "/" + data_ + "/tablespace_map"},
      {"an interrupted deployment of another restore",
       [&] {
         map("");
         pl::RecordStore store;
         std::string why;
         ASSERT_TRUE(store.open(dir_ / "records", why)) << why;
         pl::Records records;
         records.root = dir_ / "Other.rest/postgresql_15";
         store.save(records);
       },
       kDeploy + ": the cluster holds an interrupted deployment of the restore root \"" + dir_.str() +
           "/Other.rest/postgresql_15\": run that restore again to complete it; nothing was changed"},
  };
  for (const Case& c : cases) {
    fs::remove_all(dir_ / "R.rest");
    fs::remove_all(data_ + "/.hx_restore_deployment");
    SetUp();
    log_.clear();
    c.arrange();
    // The server's account owns what it holds, but for what the case says.
    sh("chown -hR postgres:postgres " + s);
    if (!owned_by_root.empty()) sh("chown root:root " + owned_by_root + " && chmod 700 " + owned_by_root);
    EXPECT_FALSE(deploy(15, false)) << c.name;
    if (!mounted.empty()) {
      EXPECT_EQ(0, sh("umount " + mounted));
    }
    if (!owned_by_root.empty()) fs::remove_all(fs::path(owned_by_root).parent_path());
    owned_by_root.clear();
    mounted.clear();
    EXPECT_EQ(c.error, log_.at("Error").empty() ? "" : log_.at("Error").back()) << c.name;
    EXPECT_EQ("live", at("/srv/data/PG_VERSION")) << c.name;
    EXPECT_EQ("kept", at("/srv/keep")) << c.name;
    EXPECT_FALSE(log_.has("Info", "PostgreSQL is down now")) << c.name;
  }
}

TEST_F(Deployment, MissingArchiveIsCreatedEmptyAndMissingParentFails) {
  fs::remove_all(root_ + conf_.archive_catalog);
  fs::create_directories(conf_.archive_catalog);
  dir_.write("srv/wal_archive/000000010000000000000009", "live");
  data_ = dir_ / "srv/absent/data";
  restored("/srv/absent/data/pg_wal/x", "");
  map("");
  EXPECT_FALSE(deploy());
  EXPECT_EQ((std::vector<std::string>{
                "Can't find archive WAL in the restored archive: " + root_,
                "Create empty: \"" + root_ + conf_.archive_catalog + "\"",
                kDeploy + ": the parent directory of the destination \"" + data_ + "\" does not exist; nothing was "
                          "changed"}),
            log_.at("Error"));
  // Made in a directory of root's only when no other account could have led there.
  fs::create_directories(dir_ / "root-dir");
  fs::create_symlink(dir_ / "root-dir", dir_ / "srv/link");
  data_ = dir_ / "srv/link/data";
  restored("/srv/link/data/pg_wal/x", "");
  map("");
  EXPECT_FALSE(deploy());
  EXPECT_EQ(kDeploy + ": the destination \"" + data_ + "\" does not exist, and the directory to make it in can't be "
                      "trusted: \"" + dir_.str() + "/srv\": it is owned by uid " + account_ + "; nothing was changed",
            log_.at("Error").back());
  EXPECT_TRUE(fs::is_empty(dir_ / "root-dir"));
  data_ = dir_ / "srv/data";
  map("");
  EXPECT_TRUE(deploy()) << log_.text();
  EXPECT_TRUE(fs::is_empty(conf_.archive_catalog)) << "emptied, and nothing to move into it";
  EXPECT_FALSE(fs::exists(dir_ / "srv/absent")) << "a missing parent is not made";
}

// A deployment killed half way (while the data directory, the last one,
// receives its copies) leaves the server's files set aside and its records
// where only root can write: another restore is refused, and the same restore
// run again (its archiver unpacking the record again first) puts everything
// back, then checks the room of the destinations as they are now (the
// server's account filled one meanwhile), and deploys when there is room.
// Inodes are checked too. A server started by hand on the half-filled data
// directory meanwhile writes where the server's own files were: what it
// wrote is kept aside, and the deployment goes on once that was looked at.
TEST_F(Deployment, KilledHalfWayIsPutBackByTheSameRestore) {
  const std::string ts = dir_ / "srv/ts1";
  fs::create_directories(ts);
  ASSERT_EQ(0, sh("mount -t tmpfs -o size=1m,nr_inodes=64 hx-ts " + ts));
  struct Unmount {
    std::string path;
    ~Unmount() { sh("umount " + path); }
  } unmount{ts};
  fs::create_directories(conf_.archive_catalog);
  fs::create_directories(data_);
  dir_.write("srv/data/PG_VERSION", "live");
  dir_.write("srv/data/postmaster.opts", "live");
  dir_.write("srv/ts1/old", "live");
  auto unpack_all = [&] {
    unpack();
    map("1 " + ts + "\n");
    restored("/srv/ts1/PG_15_1/f", "ts1");
  };
  unpack_all();
  const std::string whole = tree(root_);
  auto refused = [&](const std::string& what) {
    EXPECT_EQ(0u, log_.at("Error").back().rfind(kDeploy + ": not enough free " + what + " on the file system of \"" +
                                                    ts + "\" for the restored files: ",
                                                0))
        << log_.text();
    EXPECT_EQ("live live", at("/srv/data/PG_VERSION") + " " + at("/srv/ts1/old")) << what;
    EXPECT_EQ(whole, tree(root_)) << what;
    EXPECT_TRUE(fs::is_empty(dir_ / "records")) << what;
    sh("cd " + ts + " && rm -f filler f*");
  };

  sh("cd " + ts + " && i=0; while : >f$i 2>/dev/null; do i=$((i+1)); done");
  EXPECT_FALSE(deploy());
  refused("inodes");

  ASSERT_TRUE(killed_deploy("kill -KILL $PPID; sleep 5"));
  EXPECT_EQ("live", at("/srv/data/.hx_restore_deployment/old/PG_VERSION"));
  // A directory of the server's account in place of the set-aside one is
  // not the recorded one: refused before anything is read.
  fs::rename(data_ + "/.hx_restore_deployment", data_ + "/moved");
  fs::create_directories(data_ + "/.hx_restore_deployment/old");
  ASSERT_EQ(0, ::chown((data_ + "/.hx_restore_deployment").c_str(),
                       boost::tuples::get<0>(pg::get_user_uid_gid("postgres")), 0));
  EXPECT_FALSE(deploy());
  EXPECT_EQ(kDeploy + ": the destination \"" + data_ + "\" holds \"" + data_ + "/.hx_restore_deployment\", which the "
                      "records of the interrupted deployment do not name (it was not read); remove it and run the "
                      "restore again; nothing was changed",
            log_.at("Error").back());
  fs::remove_all(data_ + "/.hx_restore_deployment");
  fs::rename(data_ + "/moved", data_ + "/.hx_restore_deployment");
  const std::string own = root_;
  root_ = dir_ / "Other.rest/postgresql_15";
  EXPECT_FALSE(deploy());
  EXPECT_EQ(kDeploy + ": the cluster holds an interrupted deployment of the restore root \"" + own +
                "\": run that restore again to complete it; nothing was changed",
            log_.at("Error").back());
  root_ = own;
  sh("dd if=/dev/zero of=" + ts + "/filler bs=4k 2>/dev/null");
  const std::string put_back =
      "Found the files of an interrupted deployment of this restore: putting the server's own files back";
  unpack_all();
  log_.clear();
  EXPECT_FALSE(deploy());
  EXPECT_TRUE(log_.has("Info", put_back));
  refused("space");

  ASSERT_TRUE(killed_deploy("kill -KILL $PPID; sleep 5"));
  sh("cd " + data_ + " && setpriv --reuid=postgres --regid=postgres --clear-groups sh -c 'echo started "
     ">postmaster.opts; echo label >backup_label.old'");
  unpack_all();
  log_.clear();
  EXPECT_FALSE(deploy());
  EXPECT_TRUE(log_.has("Info", put_back));
  const std::string aside = data_ + "/.hx_restore_deployment";
  EXPECT_EQ((std::vector<std::string>{
                "\"" + data_ + "/postmaster.opts\", which took the place of one of the server's own entries while "
                "the deployment was interrupted, is kept as \"" + aside + "/added/postmaster.opts\"",
                "\"" + data_ + "/backup_label.old\" stays where it is: neither the server's own files nor the "
                "restored ones held it",
                "The set-aside directory \"" + aside + "\" is kept with what was not removed: look at it and remove "
                "it before the next restore into \"" + data_ + "\""}),
            log_.at("Warning"));
  EXPECT_EQ(kDeploy + ": the destination \"" + data_ + "\" holds \"" + aside + "\", which no deployment of this "
                      "module recorded (it was not read); remove it and run the restore again; nothing was changed",
            log_.at("Error").back());
  EXPECT_EQ("live live started\n", at("/srv/data/PG_VERSION") + " " + at("/srv/data/postmaster.opts") + " " +
                                       read_file(aside + "/added/postmaster.opts"));
  EXPECT_TRUE(fs::is_empty(dir_ / "records"));
  fs::remove_all(aside);
  fs::remove(data_ + "/backup_label.old");

  // Killed again, and the account uses up the tablespace's inodes: the
  // roll-back needs none, and frees what the deployment needs.
  ASSERT_TRUE(killed_deploy("kill -KILL $PPID; sleep 5"));
  sh("cd " + ts + " && i=0; while : >f$i 2>/dev/null; do i=$((i+1)); done");
  unpack_all();
  log_.clear();
  EXPECT_TRUE(deploy()) << log_.text();
  EXPECT_TRUE(log_.has("Info", put_back));
  EXPECT_EQ("15\n ts1", at("/srv/data/PG_VERSION") + " " + at("/srv/ts1/PG_15_1/f"));
}

// Killed at any step that changes a directory (a rename, the making or the
// removal of a directory entry, the writing of a record), the deployment
// leaves what the same restore, run again (its archiver unpacking the record
// again first), resolves: it then deploys the whole tree, and nothing of the
// deployment is left.
TEST_F(Deployment, KilledAtAnyStepTheSameRestoreCompletes) {
  const std::string ts = dir_ / "srv/ts1";
  auto unpack_all = [&] {
    unpack();
    map("1 " + ts + "\n");
    restored("/srv/ts1/PG_15_1/f", "ts1");
  };
  for (const std::string call : {"renameat2", "renameat", "mkdirat", "unlinkat"}) {
    for (int when = 1;; ++when) {
      fs::remove_all(dir_ / "srv");
      fs::remove_all(dir_ / "R.rest");
      SetUp();
      fs::create_directories(conf_.archive_catalog);
      fs::create_directories(data_ + "/base");
      dir_.write("srv/data/PG_VERSION", "live");
      dir_.write("srv/wal_archive/000000010000000000000009", "live");
      unpack_all();
      const bool killed = killed_at(call, when);
      log_.clear();
      if (killed) {
        unpack_all();
        EXPECT_TRUE(deploy()) << call << " " << when << "\n" << log_.text();
        EXPECT_EQ(std::vector<std::string>{}, log_.at("Warning")) << call << " " << when;
      }
      EXPECT_EQ("15\n archived ts1", at("/srv/data/PG_VERSION") + " " +
                                         at("/srv/wal_archive/000000010000000000000002") + " " +
                                         at("/srv/ts1/PG_15_1/f"))
          << call << " " << when;
      std::string left;
      sh("cd " + dir_.str() + "/srv && find . -name '.hx_restore*' -o -name base -o -name '*09'", &left);
      EXPECT_EQ("", left) << call << " " << when;
      EXPECT_FALSE(fs::exists(root_) || !fs::is_empty(dir_ / "records")) << call << " " << when;
      if (!killed || HasFailure()) break;
    }
  }
}

// Destinations on file systems of their own (a tablespace that is a mount
// point, pg_wal mounted inside the data directory) are filled by entries and
// stay mounted; a mount point whose restored counterpart is a file is
// refused. A step that fails half way (an old file that cannot be set aside,
// a restored one that cannot be moved in, a copy that fails after the
// server's account wrote into the data directory and an entry went missing
// from the restore root) puts every destination back, leaves the account's
// file where it is and removes a destination the deployment made. Restored
// entries that were renamed into a destination were within the account's
// reach: they are removed, not put back into the restore root, which then
// goes too (the whole restore is to be run again); a root that gave only
// copies stays. Old files that cannot be removed at the end are removed by
// the same restore run again; a restore root that cannot be removed is
// reported.
TEST_F(Deployment, FailuresPutEverythingBackAndMountPointsStay) {
  const std::string stray = root_ + "/stray";
  const std::string wal = data_ + "/pg_wal", ts = dir_ / "srv/ts1", ts2 = dir_ / "srv/ts2";
  const std::string w9 = "/000000010000000000000009";
  fs::create_directories(wal);
  fs::create_directories(ts);
  fs::create_directories(conf_.archive_catalog);
  ASSERT_EQ(0, sh("mount -t tmpfs -o size=4m hx-wal " + wal + " && mount -t tmpfs -o size=4m hx-ts " + ts));
  struct Unmount {
    std::string paths;
    ~Unmount() { sh("umount " + paths); }
  } unmount{wal + " " + ts};
  map("");
  sh("chown -h postgres:postgres " + dir_.str() + "/srv " + dir_.str() + "/srv/*");
  EXPECT_FALSE(deploy(15, false));
  EXPECT_EQ(kDeploy + ": the destination \"" + wal + "\" is owned by uid 0, not by the server's account postgres (uid " +
                account_ + "); nothing was changed",
            log_.at("Error").back());
  dir_.write("srv/data/PG_VERSION", "live");
  dir_.write("srv/data/pg_wal" + w9, "live");
  dir_.write("srv/wal_archive" + w9, "live");
  dir_.write("srv/ts1/old", "live");
  sh("chown -hR postgres:postgres " + dir_.str() + "/srv");
  auto unpack_all = [&] {
    unpack();
    map("1 " + ts + "\n2 " + ts2 + "\n");
    restored("/srv/ts1/PG_15_1/f", "ts1");
    restored("/srv/ts2/PG_15_1/f", "ts2");
  };
  unpack_all();
  const std::string whole = tree(root_);
  const std::string w3 = wal + "/000000010000000000000003";
  const std::string intrude = "setpriv --reuid=postgres --regid=postgres --clear-groups sh -c 'echo account >" + data_ +
                              "/intruder; rm " + w3 + "; echo mine >" + w3 + "; mv " + data_ +
                              "/.hx_restore_deployment " + data_ + "/moved'; rm -r " + root_ + ts +
                              "/PG_15_1; echo 'cp: refused by the test' >&2; exit 1";
  const std::string not_deployed = kDeploy + ": the restored cluster was not deployed: the server's own files are back "
                                             "in place";
  for (const std::string& failing : {conf_.archive_catalog + w9, root_ + data_ + "/PG_VERSION", intrude}) {
    log_.clear();
    if (failing == intrude) {
      dir_.write("control", failing);
      EXPECT_FALSE(deploy());
      fs::remove(dir_ / "control");
    } else {
      const Immutable guard(failing);
      EXPECT_FALSE(deploy());
    }
    EXPECT_EQ("live live live live", at("/srv/data/PG_VERSION") + " " + at("/srv/data/pg_wal" + w9) + " " +
                                         at("/srv/wal_archive" + w9) + " " + at("/srv/ts1/old"))
        << failing;
    EXPECT_EQ(1, std::distance(fs::directory_iterator(ts), fs::directory_iterator())) << failing;
    EXPECT_FALSE(fs::exists(data_ + "/.hx_restore_deployment") || fs::exists(data_ + "/moved") || fs::exists(ts2))
        << failing;
    // Only the old files' own failure came before anything left the root.
    if (failing == conf_.archive_catalog + w9) {
      EXPECT_EQ(whole, tree(root_)) << failing;
      EXPECT_EQ(not_deployed + " and the restore root \"" + root_ + "\" is kept for another run",
                log_.at("Error").back());
    } else {
      // The root goes (what can't be removed of it under another name).
      EXPECT_FALSE(fs::exists(root_)) << failing;
      sh("chattr -R -i " + root_ + ".removed 2>/dev/null; rm -rf " + root_ + ".removed");
      EXPECT_TRUE(log_.has("Error", not_deployed)) << failing;
      EXPECT_EQ(kDeploy + ": restored entries that had been moved into the server's directories were removed, and "
                          "the restore root \"" + root_ + "\" with them: run the whole restore again",
                log_.at("Error").back())
          << failing;
      unpack_all();
    }
  }
  EXPECT_EQ("account\n mine\n", at("/srv/data/intruder") + " " + read_file(w3));
  EXPECT_TRUE(log_.has("Warning", "\"" + data_ + "/intruder\" stays where it is: neither the server's own files nor "
                                  "the restored ones held it"));
  EXPECT_TRUE(log_.has("Warning", "\"" + w3 + "\" stays where it is: it is not the entry the deployment put there"));
  EXPECT_TRUE(log_.has("Warning", "The set-aside directory \"" + data_ + "/.hx_restore_deployment\" was renamed to \"" +
                                      data_ + "/moved\""));
  fs::remove(data_ + "/intruder");

  fs::rename(root_ + wal, root_ + wal + ".dir");
  restored(wal.substr(dir_.str().size()), "a file");
  EXPECT_FALSE(deploy());
  EXPECT_EQ(kDeploy + ": the destination \"" + wal + "\" is a mount point and the restored \"" + root_ + wal +
                      "\" is not a directory; nothing was changed",
            log_.at("Error").back());
  fs::remove(root_ + wal);
  fs::rename(root_ + wal + ".dir", root_ + wal);

  std::ofstream(stray) << "left";
  fs::create_directories(data_ + "/sub");
  dir_.write("srv/data/sub/keep", "old");
  sh("chown -R postgres:postgres " + data_ + "/sub");
  {
    const Immutable guard(stray + " " + data_ + "/sub/keep");
    log_.clear();
    EXPECT_TRUE(deploy()) << log_.text();
    // Set aside, the old file is below the set-aside directory.
    sh("find " + data_ + "/.hx_restore_deployment -name keep -exec chattr -i {} +");
    EXPECT_EQ("wal ts1 ts2", at("/srv/data/pg_wal/000000010000000000000003") + " " + at("/srv/ts1/PG_15_1/f") + " " +
                                 at("/srv/ts2/PG_15_1/f"));
    for (const std::string& mount : {wal, ts}) EXPECT_NE(stat_of(mount).st_dev, stat_of(data_).st_dev) << mount;
    const std::vector<std::string> errors = log_.at("Error");
    EXPECT_EQ(errors, (std::vector<std::string>{
                          "Can't start PostgreSQL. The restored cluster is in place; start it by hand: /usr/bin/sudo "
                          "-iu postgres " + conf_.pg_ctl + " start -D " + dir_.str() + "/etc",
                          kDeploy + ": can't remove \"" + data_ + "/.hx_restore_deployment/old/sub/keep\" "
                                    "(Operation not permitted)",
                          kDeploy + ": the server's old files stay in \"" + data_ + "/.hx_restore_deployment\" and "
                                    "below; the same restore run again removes them",
                          kDeploy + ": can't delete: \"" + root_ + "\" (Operation not permitted)"}));
  }
  log_.clear();
  EXPECT_TRUE(deploy()) << log_.text();
  EXPECT_TRUE(log_.has("Info", "Found the files of an interrupted deployment of this restore: completing it"));
  std::string left;
  sh("cd " + dir_.str() + "/srv && find . -name '.hx_restore*' -o -name old -o -name 000000010000000000000009", &left);
  EXPECT_EQ("", left);
  EXPECT_TRUE(fs::is_empty(dir_ / "records"));
  EXPECT_FALSE(fs::exists(root_));

  // An entry the server's account puts at the name of a set-aside one while
  // the deployment fills the data directory is kept aside when the server's
  // own entry returns: nothing is lost, and the set-aside directory is kept
  // until it was looked at.
  unpack_all();
  map("1 " + ts + "\n");
  dir_.write("srv/data/postmaster.opts", "live");
  dir_.write("control", "setpriv --reuid=postgres --regid=postgres --clear-groups sh -c 'echo account >" + data_ +
                            "/postmaster.opts'; exit 1");
  log_.clear();
  EXPECT_FALSE(deploy());
  fs::remove(dir_ / "control");
  EXPECT_TRUE(log_.has("Error", not_deployed));
  EXPECT_TRUE(log_.has("Warning", "The set-aside directory \"" + data_ + "/.hx_restore_deployment\" is kept with "
                                  "what was not removed: look at it and remove it before the next restore into \"" +
                                      data_ + "\""));
  EXPECT_EQ("live account\n", at("/srv/data/postmaster.opts") + " " +
                                   at("/srv/data/.hx_restore_deployment/added/postmaster.opts"));
  fs::remove_all(data_ + "/.hx_restore_deployment");
  unpack_all();
  map("1 " + ts + "\n");
  log_.clear();
  EXPECT_TRUE(deploy()) << log_.text();
  EXPECT_EQ("15\n", at("/srv/data/PG_VERSION"));
  EXPECT_FALSE(fs::exists(data_ + "/postmaster.opts"));
}

// What lies at the set-aside name of an interrupted deployment is used only
// when every check holds, each on its own: begun (not yet recorded), it must
// be root's and empty; recorded, it must be the very directory recorded.
// Anything else is refused before the server is looked at.
TEST_F(Deployment, EachSetAsideCheckHoldsAlone) {
  const std::string aside = data_ + "/.hx_restore_deployment";
  const std::string refusal = kDeploy + ": the destination \"" + data_ + "\" holds \"" + aside + "\", which the "
                              "records of the interrupted deployment do not name (it was not read); remove it and "
                              "run the restore again; nothing was changed";
  const uid_t account = boost::tuples::get<0>(pg::get_user_uid_gid("postgres"));
  struct Case {
    std::string name;
    pl::Step step;
    uid_t owner;
    bool empty;
    bool recorded_is_elsewhere;
    bool used;
  };
  for (const Case& c : std::vector<Case>{{"begun, the account's", pl::Step::Begun, account, true, false, false},
                                         {"begun, not empty", pl::Step::Begun, 0, false, false, false},
                                         {"begun, root's and empty", pl::Step::Begun, 0, true, false, true},
                                         {"done, another directory", pl::Step::Done, 0, true, true, false},
                                         {"done, the recorded one", pl::Step::Done, 0, true, false, true}}) {
    fs::remove_all(data_);
    fs::remove_all(dir_ / "elsewhere");
    SetUp();
    map("");
    fs::create_directories(aside);
    dir_.write("srv/data/PG_VERSION", "live");
    if (!c.empty) dir_.write("srv/data/.hx_restore_deployment/entry", "");
    ASSERT_EQ(0, ::chmod(aside.c_str(), 0700));
    ASSERT_EQ(0, ::chown(aside.c_str(), c.owner, 0));
    fs::create_directories(dir_ / "elsewhere");
    ASSERT_EQ(0, ::chmod((dir_ / "elsewhere").c_str(), 0700));
    pl::Records records;
    records.root = root_;
    pl::Record record;
    record.destination = record.target = data_;
    record.source = fs::path(data_).relative_path().string();
    record.aside = c.step;
    ASSERT_TRUE(pl::identity_at(AT_FDCWD, c.recorded_is_elsewhere ? dir_ / "elsewhere" : aside, record.aside_identity));
    records.placements.push_back(record);
    pl::RecordStore store;
    std::string why;
    ASSERT_TRUE(store.open(dir_ / "records", why)) << why;
    store.save(records);
    log_.clear();
    EXPECT_EQ(c.used, deploy()) << c.name << "\n" << log_.text();
    if (c.used) {
      EXPECT_EQ("15\n", at("/srv/data/PG_VERSION")) << c.name;
    } else {
      EXPECT_EQ(refusal, log_.at("Error").back()) << c.name;
      EXPECT_EQ(c.empty, fs::is_empty(aside)) << c.name;
      EXPECT_EQ("live", at("/srv/data/PG_VERSION")) << c.name;
    }
  }
}

// A set-aside directory swapped for a foreign one between two steps of a
// live deployment (the recorded one taken out of the destination): neither
// the roll-back nor the removal of the old files goes on with it or keeps
// silent, nothing in it is touched, and the records stay for the same
// restore run again.
TEST_F(Deployment, ForeignSetAsideStopsRollBackAndFinish) {
  const std::string archive_aside = conf_.archive_catalog + "/.hx_restore_deployment";
  const std::string not_ours = kDeploy + ": \"" + archive_aside + "\" is not the set-aside directory the deployment "
                                         "made: it was left as it is";
  for (const bool rolled_back : {true, false}) {
    fs::remove_all(dir_ / "srv");
    fs::remove_all(dir_ / "away");
    fs::create_directories(conf_.archive_catalog);
    fs::create_directories(data_);
    SetUp();
    map("");
    // While the data directory, the last one, receives its copies.
    dir_.write("control", "mv " + archive_aside + " " + dir_.str() + "/away && mkdir -m 700 " + archive_aside + " && echo "
                          "foreign >" + archive_aside + "/entry" + (rolled_back ? "; exit 1" : ""));
    log_.clear();
    EXPECT_EQ(!rolled_back, deploy()) << log_.text();
    fs::remove(dir_ / "control");
    EXPECT_TRUE(log_.has("Error", not_ours)) << rolled_back;
    EXPECT_EQ(rolled_back ? kDeploy + ": the server's own files could not all be put back; the server was not "
                                      "started. Run the same restore again: it puts them back or completes the "
                                      "deployment first"
                          : kDeploy + ": the server's old files stay in \"" + data_ + "/.hx_restore_deployment\" and "
                                      "below; the same restore run again removes them",
              log_.at("Error").back())
        << rolled_back;
    EXPECT_EQ("foreign\n", read_file(archive_aside + "/entry")) << rolled_back;
    EXPECT_FALSE(fs::is_empty(dir_ / "records")) << rolled_back;
  }
}

// Nothing that another owner holds, and no mount, is removed with the
// server's old files: a directory of its own that the server's account
// brings, with root's and a third account's directories in it, into the
// set-aside tree through a working directory it keeps there, or a file
// system mounted two levels below an entry set aside, stays with its
// contents, named, in the set-aside directory, which is kept. A tree the
// deployment removes with the restore root never goes into a mount either,
// a bind mount of the same file system included.
TEST_F(Deployment, WhatOthersOwnAndMountsAreNeverRemoved) {
  map("");
  fs::create_directories(data_ + "/base/1");
  fs::create_directories(data_ + "/base/2/deep");
  dir_.write("srv/data/PG_VERSION", "live");
  fs::create_directories(dir_ / "srv/acct/rootdir");
  dir_.write("srv/acct/rootdir/file", "root's");
  fs::create_directories(dir_ / "srv/acct/userdir");
  dir_.write("srv/acct/userdir/file", "nobody's");
  fs::create_directories(dir_ / "srv/signal");
  sh("chown -hR postgres:postgres " + dir_.str() + "/srv && chown root:root " + dir_.str() + "/srv/acct/rootdir " +
     dir_.str() + "/srv/acct/rootdir/file && chmod 700 " + dir_.str() + "/srv/acct/rootdir && chown -R nobody " +
     dir_.str() + "/srv/acct/userdir");
  // The account keeps a working directory in base/1, and moves its
  // directory there once the data directory is set aside.
  const std::string signal = dir_ / "srv/signal";
  sh("cd " + data_ + "/base/1 && setpriv --reuid=postgres --regid=postgres --clear-groups sh -c 'i=0; while [ ! -e " +
     signal + "/go ] && [ $i -lt 6000 ]; do sleep 0.01; i=$((i+1)); done; mv " + dir_.str() + "/srv/acct planted; "
     "touch " + signal + "/moved' >/dev/null 2>&1 &");
  const std::string aside = data_ + "/.hx_restore_deployment";
  const std::string mount = aside + "/old/base/2/deep";
  dir_.write("control", "touch " + signal + "/go; i=0; while [ ! -e " + signal + "/moved ] && [ $i -lt 6000 ]; do "
                        "sleep 0.01; i=$((i+1)); done; mount -t tmpfs -o size=1m hx-deep " + mount + " && echo kept >" +
                        mount + "/file");
  struct Unmount {
    std::string path;
    ~Unmount() { sh("umount " + path + " 2>/dev/null"); }
  } unmount{mount};
  // A bind mount inside the restore root, outside what is deployed.
  fs::create_directories(dir_ / "bound");
  dir_.write("bound/keep", "bound");
  fs::create_directories(root_ + "/extra");
  ASSERT_EQ(0, sh("mount --bind " + dir_.str() + "/bound " + root_ + "/extra"));
  struct Unbind {
    std::string path;
    ~Unbind() { sh("umount " + path + " 2>/dev/null"); }
  } unbind{root_ + "/extra"};
  log_.clear();
  ASSERT_TRUE(deploy(15, false)) << log_.text();
  fs::remove(dir_ / "control");
  EXPECT_EQ("15\n", at("/srv/data/PG_VERSION"));
  const std::string kept = " was not removed: only what the server's account or the deployment owns is removed";
  EXPECT_EQ((std::vector<std::string>{
                "\"" + aside + "/old/base/1/planted/rootdir\", a directory owned by uid 0" + kept,
                "\"" + aside + "/old/base/1/planted/userdir\", a directory owned by uid 65534" + kept,
                "\"" + mount + "\", a mount point" + kept,
                "The set-aside directory \"" + aside + "\" is kept with what was not removed: look at it and remove "
                "it before the next restore into \"" + data_ + "\""}),
            log_.at("Warning"));
  EXPECT_EQ("root's nobody's kept\n", read_file(aside + "/old/base/1/planted/rootdir/file") + " " +
                                          read_file(aside + "/old/base/1/planted/userdir/file") + " " +
                                          read_file(mount + "/file"));
  // The rest of the old files went.
  EXPECT_FALSE(fs::exists(aside + "/old/PG_VERSION"));
  EXPECT_EQ(kDeploy + ": can't delete: \"" + root_ + "\" (Invalid cross-device link)", log_.at("Error").back());
  EXPECT_EQ("bound", at("/bound/keep"));
  EXPECT_TRUE(fs::is_empty(dir_ / "records"));
  // The restore directory the framework removes by its path likewise.
  std::string where;
  EXPECT_EQ(EXDEV, hx_utils_common::remove_tree_by_path(dir_ / "R.rest", where));
  EXPECT_EQ("bound", at("/bound/keep"));
}

// A directory the deployment makes in the server's account's directories
// (here a missing tablespace location) is handed over only when what it
// opened is what it made: an empty directory of root's that the account
// renames into its place between the making and the opening is neither
// handed to the account, nor filled, nor removed.
TEST_F(Deployment, AMadeDirectorySwappedBeforeItIsOpenedIsNotHandedOver) {
  const std::string location = dir_ / "srv/tsnew", sibling = dir_ / "srv/rootsib";
  auto arrange = [&] {
    fs::remove_all(dir_ / "srv");
    fs::create_directories(dir_ / "srv");
    fs::remove_all(dir_ / "R.rest");
    SetUp();
    map("1 " + location + "\n");
    restored("/srv/tsnew/PG_15_1/f", "ts");
    fs::create_directories(data_);
    dir_.write("srv/data/PG_VERSION", "live");
    sh("chown -hR postgres:postgres " + dir_.str() + "/srv");
    fs::create_directories(sibling);
    ASSERT_EQ(0, ::chmod(sibling.c_str(), 0700));
  };
  // Which mkdirat of the deployment makes the location.
  arrange();
  const std::string trace = dir_ / "trace";
  ASSERT_EQ(0, traced_deploy({"-e", "signal=none", "-e", "trace=mkdirat"}, trace));
  std::string calls;
  sh("grep -n '\"tsnew\"' " + trace + " | head -n 1 | cut -d: -f1", &calls);
  ASSERT_FALSE(calls.empty()) << read_file(trace);
  const std::string when = calls.substr(0, calls.find('\n'));

  arrange();
  bool swapped = false;
  const int status =
      traced_deploy({"-e", "trace=mkdirat", "-e", "inject=mkdirat:delay_exit=5000000:when=" + when}, "/dev/null", [&] {
        for (int i = 0; i < 6000 && !fs::exists(location); ++i) ::usleep(10000);
        swapped = ::rename(location.c_str(), (location + ".made").c_str()) == 0 &&
                  ::rename(sibling.c_str(), location.c_str()) == 0;
      });
  ASSERT_TRUE(swapped);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
  // Neither handed over, nor filled, nor removed as the one made.
  EXPECT_EQ("0 40700", std::to_string(stat_of(location).st_uid) + " " +
                           (boost::format("%o") % stat_of(location).st_mode).str());
  EXPECT_TRUE(fs::is_empty(location));
  EXPECT_EQ("live", at("/srv/data/PG_VERSION"));
}

}  // namespace
