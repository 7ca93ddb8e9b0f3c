// The archiver run on another host: the task's files go to the remote host
// over scp, the archiver runs there over ssh, its meta file comes back and the
// remote host is cleaned.
//
// Every remote command is one word for the local shell (between single
// quotes) that the remote shell parses again; values inside it are quoted for
// the remote shell when they are not ordinary, so that nothing in a path, an
// archive name or a task id can run a command on either host. Ordinary values
// give the plain command texts.
//
// Pause and continue: the PID that the remote archiver reports names a process
// on the remote host, never a local one. While the remote archiver runs, the
// local PID that the signal forwarding addresses is that of a small helper
// process; it passes terminal stop (as SIGSTOP) and continue on to the remote
// archiver with "kill" run on the remote host over ssh. An abort ends the
// remote archiver by its PID in its own clean-up, bounded in time; the helper
// ends it only when the module died without that clean-up.
#include "module/hx_modules_common.h"
#include "utils/exit_now.h"

#include "log/hx_logger.h"
#include "utils/hx_utils_common.h"

#include <boost/filesystem.hpp>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const char* const kRemotelySignature = "bool HxModuleUniversal::make_backup_remotely()";
const char* const kCleanupSignature = "bool HxModuleUniversal::cleanup_remote_host(const string&)";

using hx_utils_common::shell_arg;
using hx_utils_common::shell_single_quoted;

// SSH followed by a remote shell command as one local word.
std::string remote_command(const std::string& ssh, const std::string& command) {
  return ssh + shell_single_quoted(command);
}

// The output of a command as the end of a log message: it ends with exactly
// the line end it brought, or one is added.
std::string ended(const std::string& output) {
  return !output.empty() && output.back() == '\n' ? output : output + "\n";
}

// "<signature>: the following command produced an error: <command>\ncommand output: <output>"
std::string command_error(const char* signature, const std::string& command, const std::string& output) {
  return std::string(signature) + ": the following command produced an error: " + command + "\n" +
         "command output: " + output;
}

// Runs `command` through /bin/sh from a process with no signal held; its
// output goes where the caller's standard output goes. Returns the child's PID,
// or -1.
pid_t spawn_shell(const std::string& command) {
  const pid_t child = fork();
  if (child == 0) {
    // The child until exec, which writes no coverage counters: these lines
    // show as not run although every forwarded signal runs them.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  return child;
}

// The helper process that carries the client's signals to the remote
// archiver. Its PID is what the module's signal forwarding addresses while the
// remote archiver runs; the remote archiver's PID, read from the archiver's
// output by the module, reaches it through a shared page.
class RemoteSignalForwarder {
 public:
  explicit RemoteSignalForwarder(const std::string& ssh) {
    void* page = mmap(nullptr, sizeof(pid_t), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (page == MAP_FAILED) return;
    shared_ = static_cast<pid_t*>(page);
    *shared_ = 0;

    // The signals wait from before the fork, so the helper never runs the
    // module's handlers.
    sigset_t forwarded = forwarded_signals();
    sigset_t previous;
    sigprocmask(SIG_BLOCK, &forwarded, &previous);
    const pid_t parent = getpid();
    const pid_t child = fork();
    if (child == 0) serve(ssh, parent, forwarded);  // never returns
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    if (child > 0) pid_ = child;
  }

  ~RemoteSignalForwarder() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (shared_ != nullptr) munmap(shared_, sizeof(pid_t));
  }

  RemoteSignalForwarder(const RemoteSignalForwarder&) = delete;
  RemoteSignalForwarder& operator=(const RemoteSignalForwarder&) = delete;

  // The helper's PID; 0 when it could not be started.
  pid_t pid() const { return pid_; }
  // Where the archiver runner stores the remote archiver's PID.
  pid_t& remote_pid() { return shared_ != nullptr ? *shared_ : fallback_; }

 private:
  static sigset_t forwarded_signals() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : {SIGTSTP, SIGCONT, SIGTERM, SIGINT, SIGHUP}) sigaddset(&set, sig);
    return set;
  }

  // The helper: holds none of the module's descriptors (the client's pipe, the
  // lock), ends with the module, and waits for signals. Stop and continue are
  // sent one after the other in the order they came (the kernel drops a
  // pending stop when a continue comes, and the reverse, so the last one
  // wins). Termination (the abort ending the task's processes) ends the
  // helper alone: the abort's clean-up ends the remote archiver itself. The
  // death of the module (SIGHUP, its parent-death signal) is passed on as an
  // end, without waiting, and the helper exits. A helper that the module
  // kills at the end of its run writes no coverage counters: what it
  // forwarded in such a run shows as not run.
  [[noreturn]] void serve(const std::string& ssh, pid_t parent, const sigset_t& forwarded) {
    for (int sig : {SIGTSTP, SIGCONT, SIGTERM, SIGINT, SIGHUP}) signal(sig, SIG_DFL);
    const int null = open("/dev/null", O_RDWR);
    if (null >= 0) {
      dup2(null, 0);
      dup2(null, 1);
      dup2(null, 2);
    }
    if (syscall(SYS_close_range, 3U, ~0U, 0U) != 0) {
      for (long fd = 3, last = sysconf(_SC_OPEN_MAX); fd < last && fd < 65536; ++fd) close(static_cast<int>(fd));
    }
    prctl(PR_SET_PDEATHSIG, SIGHUP);
    if (getppid() != parent) raise(SIGHUP);  // the module ended before the line above

    const volatile pid_t* remote = shared_;
    for (;;) {
      int sig = 0;
      if (sigwait(&forwarded, &sig) != 0) continue;
      if (sig == SIGTERM || sig == SIGINT) hx_process::exit_now(0);
      const bool end = sig == SIGHUP;
      const pid_t target = *remote;
      if (target > 0) {
        // The remote archiver runs in the process group of its ssh session,
        // which has no parent in the session: the kernel discards a terminal
        // stop sent to such a group, so the pause goes as SIGSTOP. An end
        // reaches a paused archiver too.
        const std::string pid = std::to_string(target);
        const std::string command = sig == SIGTSTP   ? "kill -STOP " + pid
                                    : sig == SIGCONT ? "kill -CONT " + pid
                                                     : "kill -TERM " + pid + "; kill -CONT " + pid;
        const pid_t child =
            spawn_shell(ssh + "-o BatchMode=yes -o ConnectTimeout=5 " + shell_single_quoted(command));
        if (child > 0 && !end) waitpid(child, nullptr, 0);
      }
      if (end) hx_process::exit_now(0);
    }
  }

  pid_t* shared_ = nullptr;
  pid_t fallback_ = 0;
  pid_t pid_ = 0;
};

// A remote user or host that ssh or scp would read as an option.
bool option_like(const std::string& value) { return value.empty() || value[0] == '-'; }

// Seconds that the clean-up of the remote host may take during an abort, and
// that ssh may take to connect for it: an abort takes effect within seconds
// even when the remote host does not answer.
const unsigned int kAbortCleanupSeconds = 10;
const unsigned int kAbortConnectSeconds = 5;

// The clean-up of the remote host when the task is aborted: the remote
// archiver (when its PID is known) is ended, paused or not, and awaited for
// up to two seconds, then the task's files and its snapshot directory are
// removed, in one ssh session without prompts, killed when it takes longer
// than the bound. A failure only warns: the abort ends the task all the same.
void clean_remote_host_after_abort(const std::string& user, const std::string& host, pid_t remote_archiver,
                                   const std::string& files, const std::string& directory) {
  HxLogStream(HxLogLvl::Info) << "Cleaning remote host after the abort: " << host << std::endl;
  std::string script;
  if (remote_archiver > 0) {
    const std::string pid = std::to_string(remote_archiver);
    script = "kill -TERM " + pid + " 2>/dev/null && { kill -CONT " + pid + "; i=0; while kill -0 " + pid +
             " 2>/dev/null && [ $i -lt 20 ]; do sleep 0.1; i=$((i+1)); done; }; ";
  }
  script += "rm -f" + files + "; [ ! -d " + directory + " ] || rmdir " + directory;
  const std::vector<std::string> command = {"/usr/bin/ssh", "-q", "-o", "BatchMode=yes", "-o",
                                            "ConnectTimeout=" + std::to_string(kAbortConnectSeconds),
                                            "-l", user, host, script};
  std::string output;
  if (hx_utils_common::run_program(command, &output, kAbortCleanupSeconds) != 0) {
    HxLogStream(HxLogLvl::Warning) << command_error(kCleanupSignature, hx_utils_common::command_text(command),
                                                    ended(output));
    HxLogStream(HxLogLvl::Warning) << kRemotelySignature << ": unable to cleanup remote host: " << host << std::endl;
  }
}

}  // namespace

bool HxModuleUniversal::make_backup_remotely() {
  namespace fs = boost::filesystem;
  hxfd_succeeded_ = false;
  try {
    std::string command;
    if (!make_backup_cmd_common(command)) return false;

    if (options_.autonomous) {
      HxLogStream(HxLogLvl::Error) << kRemotelySignature
                                   << ": Autonomous mode is not supported for remote backup hxfd mode" << std::endl;
      return false;
    }
    command += " -M " + shell_arg(options_.media_server) + " -N " + shell_arg(options_.archive_name) + " -T " +
               shell_arg(options_.task_id) + " -s " + shell_arg(get_task_secret()) + " -m " +
               shell_arg(meta_filename());

    if (options_.dgst) {
      HxLogStream(HxLogLvl::Error) << kRemotelySignature
                                   << ": Digital signature is not supported for remote backup hxfd mode" << std::endl;
      return false;
    }

    boost::system::error_code ec;
    const bool restriction_list = fs::exists(options_.restriction_list_file, ec);
    const std::string restriction_name = fs::path(options_.restriction_list_file).filename().string();
    const std::string remote_restriction_list = snapshot_directory_path() + "/" + restriction_name;
    if (options_.local_restrictions && restriction_list) command += " -X " + shell_arg(remote_restriction_list);

    if (options_.crypto != "nocrypt") {
      HxLogStream(HxLogLvl::Error) << kRemotelySignature
                                   << ": Encrytping signature is not supported for remote backup hxfd mode"
                                   << std::endl;
      return false;
    }
    command += " 2>&1";

    const std::string& host = options_.remote_host;
    const std::string& user = options_.remote_user;
    if (option_like(host) || option_like(user)) {
      HxLogStream(HxLogLvl::Error) << kRemotelySignature << ": invalid remote user or host: '" << user << "@"
                                   << host << "'" << std::endl;
      return false;
    }
    const std::string ssh = "/usr/bin/ssh -q -l " + shell_arg(user) + " " + shell_arg(host) + " ";
    const std::string at = user + "@" + host + ":";
    std::string output;

    HxLogStream(HxLogLvl::Info) << "Testing connection to remote host: " << host << std::endl;
    const std::string test_connection = ssh + " -o ConnectTimeout=" + std::to_string(5) +
                                        " -o PasswordAuthentication=no -o PubkeyAuthentication=yes"
                                        " -o BatchMode=yes 'exit 0'";
    if (hx_utils_common::execute_command(test_connection, output) != 0) {
      HxLogStream(HxLogLvl::Error) << kRemotelySignature << ": the ssh unable to connect. " << "command output: "
                                   << output << "\n"
                                   << "ssh connection failed to: " << host << std::endl;
      return false;
    }

    output.clear();
    if (hx_utils_common::execute_command(
            remote_command(ssh, "test -d " + shell_arg(options_.tmp_operation_directory)), output) != 0) {
      HxLogStream(HxLogLvl::Error) << kRemotelySignature << ": " << "command output: " << output << "\n"
                                   << "folder: " << options_.tmp_operation_directory
                                   << " does not exist on remote host: " << host << std::endl;
      return false;
    }

    // From the making of the task's directories on, an abort cleans the
    // remote host too (with the archiver that runs there).
    std::atomic<const pid_t*> remote_archiver{nullptr};
    HxAbortCleanup abort_cleanup([&] {
      const pid_t* running = remote_archiver.load();
      clean_remote_host_after_abort(user, host, running != nullptr ? *running : 0, remote_files(),
                                    shell_arg(snapshot_directory_path()));
    });

    HxLogStream(HxLogLvl::Info) << "Creating directories on remote host: " << host << std::endl;
    const std::string make_directories =
        remote_command(ssh, "mkdir -p " + shell_arg(snapshot_directory_path()) + " " + "/opt/halvex/var/tasks/");
    output.clear();
    if (hx_utils_common::execute_command(make_directories, output) != 0) {
      HxLogStream(HxLogLvl::Error) << command_error(kRemotelySignature, make_directories, ended(output));
      return false;
    }

    // From here on every failure cleans the remote host.
    HxLogStream(HxLogLvl::Info) << "Coping files to remote host: " << host << std::endl;
    // A task without a list file gives the archiver its resource itself:
    // there is no list file to copy or to remove.
    std::vector<std::pair<std::string, std::string>> copies = {{get_task_secret(), get_task_secret()}};
    if (!options_.resource_list_file.empty()) {
      copies.emplace_back(options_.resource_list_file, options_.resource_list_file);
    }
    if (restriction_list) copies.emplace_back(options_.restriction_list_file, snapshot_directory_path());
    for (const auto& copy : copies) {
      const std::string scp = "/usr/bin/scp " + shell_arg(copy.first) + " " + shell_arg(at + copy.second);
      output.clear();
      if (hx_utils_common::execute_command(scp, output) != 0) {
        HxLogStream(HxLogLvl::Error) << command_error(kRemotelySignature, scp, ended(output));
        cleanup_remote_host(ssh);
        return false;
      }
    }

    HxLogStream(HxLogLvl::Info) << "Starting remote HXFD execution on remote host: " << host << std::endl;
    command = remote_command(ssh, command);
    output.clear();
    std::string last_statistics;
    bool archived = false;
    {
      RemoteSignalForwarder forwarder(ssh);
      set_hxfd_pid(forwarder.pid());
      remote_archiver.store(&forwarder.remote_pid());
      archived = run_hxfd_command(command, output, forwarder.remote_pid(), last_statistics);
      remote_archiver.store(nullptr);
      set_hxfd_pid(0);
    }
    if (!archived) {
      HxLogStream(HxLogLvl::Error) << kRemotelySignature << ": remote HXFD command " << command << "\n"
                                   << " produced an error, " << "hxfd out: " << ended(output);
      cleanup_remote_host(ssh);
      return false;
    }
    HxLogStream(HxLogLvl::Info) << "Remote HXFD execution finished successfully" << std::endl;

    const std::string test_meta = remote_command(ssh, "test -f " + shell_arg(meta_filename()));
    output.clear();
    if (hx_utils_common::execute_command(test_meta, output) != 0) {
      HxLogStream(HxLogLvl::Error) << command_error(kRemotelySignature, test_meta, output) << "\n"
                                   << "metafile: " << meta_filename() << " does not exist on remote host: " << host
                                   << std::endl;
      cleanup_remote_host(ssh);
      return false;
    }

    HxLogStream(HxLogLvl::Info) << "Coping resulting files from remote host: " << host << std::endl;
    const std::string fetch = "/usr/bin/scp " + shell_arg(at + meta_filename()) + " " + shell_arg(meta_filename());
    output.clear();
    if (hx_utils_common::execute_command(fetch, output) != 0) {
      HxLogStream(HxLogLvl::Error) << command_error(kRemotelySignature, fetch, ended(output));
      cleanup_remote_host(ssh);
      return false;
    }

    if (!cleanup_remote_host(ssh)) {
      HxLogStream(HxLogLvl::Warning) << kRemotelySignature << ": unable to cleanup remote host: " << host
                                     << std::endl;
    }
    hxfd_succeeded_ = true;
    return true;
  } catch (const fs::filesystem_error& e) {
    HxLogStream(HxLogLvl::Error) << kRemotelySignature << ": filesystem error: " << e.what() << std::endl;
    return false;
  } catch (const std::exception& e) {
    // GCOVR_EXCL_START: nothing in the try block throws a standard exception but std::bad_alloc
    HxLogStream(HxLogLvl::Error) << kRemotelySignature << ": exception: " << e.what() << std::endl;
    return false;
  }  // GCOVR_EXCL_STOP
}

std::string HxModuleUniversal::remote_files() const {
  namespace fs = boost::filesystem;
  std::string files;
  if (!options_.resource_list_file.empty()) files += " " + shell_arg(options_.resource_list_file);
  files += " " + shell_arg(get_task_secret()) + " " + shell_arg(meta_filename());
  boost::system::error_code ec;
  if (fs::exists(options_.restriction_list_file, ec)) {
    files += " " + shell_arg(snapshot_directory_path() + "/" +
                             fs::path(options_.restriction_list_file).filename().string());
  }
  return files;
}

bool HxModuleUniversal::cleanup_remote_host(const std::string& ssh) {
  HxLogStream(HxLogLvl::Info) << "Cleaning remote host" << std::endl;
  bool cleaned = true;

  const std::string commands[] = {
      remote_command(ssh, "rm" + remote_files()),
      remote_command(ssh, "rmdir " + shell_arg(snapshot_directory_path())),
  };
  for (const std::string& command : commands) {
    std::string output;
    if (hx_utils_common::execute_command(command, output) != 0) {
      HxLogStream(HxLogLvl::Warning) << command_error(kCleanupSignature, command, ended(output));
      cleaned = false;
    }
  }
  return cleaned;
}
