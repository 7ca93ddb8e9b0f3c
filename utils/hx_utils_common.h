// Common utilities: command execution and process control, the product
// configuration reader, the machine identifier and configuration-password
// cipher, validators and encoders, file facts, environment variables,
// terminal input and free-space checks.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <termios.h>

// Settings of the product's own database, read from the product configuration file.
struct hx_auth {
  hx_auth(std::string host, std::string port, std::string dbname, std::string user);

  std::string primary_server;    // "who-is-primary-server"
  std::string secondary_server;  // "who-is-secondary-server"
  std::string user;
  std::string password;          // deciphered
  std::int64_t reserved = 0;     // not used
  std::string host;
  std::string port;
  std::string dbname;
  std::string user_copy;         // the constructor's user
};

namespace hx_utils_common {

// ---- Command execution and process control ------------------------------

// Runs `command` through the shell with standard error joined to standard
// output, appends everything it printed to `output` and returns its exit
// status (128 + signal number when a signal ended it); 1 when it cannot be
// started; -1 on an exception.
int execute_command(std::string command, std::string& output);

// Runs `command` through the shell like execute_command, but keeps the two
// streams apart: what it printed on standard output is appended to `output`,
// what it printed on standard error to `errors`. For tools whose standard
// output is parsed while they may warn on standard error. The wait for it is
// an outside wait, as execute_command's. Returns the exit status as
// execute_command does; 1 when it cannot be started.
int execute_command(std::string command, std::string& output, std::string& errors);

// Exit status of a pclose()/system() wait status: the exit code of a normal
// exit, 128 + the signal number for a process ended by a signal, -1 when the
// status itself reports failure.
int command_exit_status(int wait_status);

// Sends `signal` to an existing process; true when sent or when pid is 0.
bool send_signal(int pid, int signal);

// Ends one process: SIGTERM, then SIGKILL after one second if it is still there.
bool synchronous_terminate(const int& pid);

// Ends every process below `pid` that has no children of its own (deepest
// first); a process without children is ended itself.
void kill_childs(int pid);

// The process ids of every living process below `pid` (children, their
// children and so on), read from /proc.
std::vector<int> descendant_pids(int pid);

// Ends every process below `pid`, never `pid` itself: the whole tree is
// stopped first (so that no process escapes it), then asked to end with
// SIGTERM, and after a second what is left is killed. Prints "PID was
// terminated: " and the number for each process ended. Reads /proc; runs no
// outside command.
void end_process_tree(int pid);

// Kills every process below `pid` at once (stopped first, then SIGKILL),
// printing nothing. Async-signal-safe.
void kill_process_tree_now(int pid);

// ---- Waits for outside processes and for time ---------------------------

// A program may register two callbacks that run on the waiting thread when a
// wait for an outside process or for time begins and ends: every command of
// execute_command, sleep_seconds, and whatever code marks its waits with an
// OutsideWait object. The module framework uses them to let the abort of a
// task go ahead while its work waits, and to hold the work during a pause.
using WaitCallback = void (*)();
void set_wait_callbacks(WaitCallback begin, WaitCallback end);

// Marks a wait: calls the registered begin callback when constructed and the
// end callback when destroyed.
class OutsideWait {
 public:
  OutsideWait();
  ~OutsideWait();
  OutsideWait(const OutsideWait&) = delete;
  OutsideWait& operator=(const OutsideWait&) = delete;
};

// Sleeps `seconds` whole seconds as an outside wait.
void sleep_seconds(unsigned int seconds);

// A point where an abort that is pending may end the task (an empty outside
// wait): work that runs long without waiting calls it between its steps.
void abort_point();

// ---- Aborts ------------------------------------------------------------------

// True once an abort of the task was requested (by a signal), whether or not
// it has taken effect yet. Work that must not start once an abort is pending
// (removing files that only a completed task may remove) asks here first.
bool abort_requested();

// Records that an abort was requested; called by the program's signal
// handling, not by the work.
void note_abort_requested();

// While an object of this class lives, an abort that finds the work busy
// outside any wait (a statement running on the server, a call blocked in the
// kernel) calls `interrupt` from another thread to end that work early: a
// cancel request of a database connection, for one. The callback must be
// safe to call from another thread at any moment of the object's life, and
// more than once; it never runs after the destructor has returned.
class AbortInterruption {
 public:
  explicit AbortInterruption(std::function<void()> interrupt);
  ~AbortInterruption();
  AbortInterruption(const AbortInterruption&) = delete;
  AbortInterruption& operator=(const AbortInterruption&) = delete;

 private:
  std::uint64_t id_;
};

// Calls every registered interruption; used by the program's signal handling.
void interrupt_work();

// ---- Programs from an argument vector ---------------------------------------

// Runs a program from an argument vector, never through a shell: no value can
// become part of a command. args[0] is looked up through PATH when it holds no
// "/". With `output`, what the program writes on standard output and standard
// error is collected there; without, it writes to this process's streams.
// Standard input is /dev/null. The wait for it is an outside wait (an abort
// ends the program with the rest of the task's processes). With a bound, a
// program still running `time_limit_seconds` after its start is killed, and
// what it wrote until then is in `output`: for work that must end in bounded
// time whatever the program does (the clean-up of an abort); 0 is no bound.
// Returns its exit status (128 + the signal number when a signal ended it),
// 127 when it could not be started, -1 when the wait for it failed.
int run_program(const std::vector<std::string>& args, std::string* output, unsigned int time_limit_seconds = 0);

// The arguments as one line a shell would read back as the same words (each
// quoted with shell_arg), for messages that name a command.
std::string command_text(const std::vector<std::string>& args);

// ---- Standard streams -----------------------------------------------------

// Makes the standard streams safe for a program that answers through
// standard output: descriptors 0, 1 and 2 that are closed are opened on
// /dev/null (so no file or connection opened later can take their numbers),
// and std::cout writes whole lines at once, so that lines written by two
// threads never mix.
void prepare_standard_streams();

// Flushes std::cout; false when anything written to standard output could
// not be written (output full, a closed pipe, a write error), with the
// system's reason in `reason`.
bool standard_output_written(std::string& reason);

// ---- Shell and connection-string quoting ----------------------------------------------

// The value unchanged when it holds only letters, digits and _ . / : , + = @ % -
// (and is not empty); otherwise the value in single quotes, each single quote
// written as '\''.
std::string shell_arg(const std::string& value);

// The value between single quotes, each single quote inside written as '\''.
// For a value without single quotes this is "'" + value + "'".
std::string shell_single_quoted(const std::string& value);

// The value as a shell double-quoted word: backslash before ", \, $ and `.
std::string shell_double_quoted(const std::string& value);

// The value for the inside of a single-quoted libpq connection-string value:
// a backslash before each ' and \.
std::string conninfo_escaped(const std::string& value);

// A libpq keyword/value connection-string value that libpq reads back
// unchanged: plain text when it is one word without quotes or backslashes,
// else single-quoted and escaped. An empty value is quoted too, except at the
// very end of the string (`last`), where nothing can follow it.
std::string conninfo_value(const std::string& value, bool last = false);

// ---- Product configuration file -----------------------------------------

// Value of the last "logfile" line of /opt/halvex/etc/config.file, or
// "/opt/halvex/log/Halvex.log".
std::string get_logfile();

namespace server {

// Reads the product database settings from /opt/halvex/etc/config.file into a
// record and a libpq connection string.
std::shared_ptr<hx_auth> load_db_connection(std::string& conninfo);

// 64 lowercase hex digits: HMAC-SHA-256 of node name + machine id + system name.
std::string hardware_id();

// Replaces text by its enciphered lowercase hexadecimal form (Kuznyechik-CTR,
// key bound to this machine).
void encrypt_string(std::string& text);

// Replaces the hexadecimal form by the plain text. Throws std::invalid_argument
// for text of odd length or with characters that are not hexadecimal digits.
void decrypt_string(std::string& text);

// The identifier formula of hardware_id() on given parts of the host's
// identity: HMAC-SHA-256 under mac_key() of nodename + machine_id + sysname,
// as 64 lowercase hex digits.
std::string hardware_id_from(const std::string& nodename, const std::string& machine_id,
                             const std::string& sysname);

// encrypt_string() and decrypt_string() with the key taken from `identifier`
// instead of this machine's hardware_id().
void encrypt_string_with_id(std::string& text, const std::string& identifier);
void decrypt_string_with_id(std::string& text, const std::string& identifier);

}  // namespace server

// ---- Validators, encoders, file facts ------------------------------------

bool is_uint(const std::string& s);
bool string_to_uint(const std::string& s, unsigned int& value);
bool is_time(const std::string& s);
bool is_hostname(const std::string& s);
bool is_email(const std::string& s);
bool is_https_url_strict(const std::string& s);
bool is_https_ip_strict(const std::string& s);
bool is_ip_address(const std::string& s);
bool is_valid_uuid(const std::string& s);
bool check_password_complexity(const std::string& password, std::string& message, bool message_only);

std::string base64_encode(const std::string& data);
std::string base64_decode(const std::string& text);
std::string quote_string(const std::string& s);
std::string digest_as_string(const unsigned char* bytes, unsigned int count);
void print_digest(unsigned char* bytes, unsigned int bits);

std::string get_nodename();
bool get_hw_platform(std::string& output);
bool is_sparse_file(const std::string& path, bool& sparse, std::string& error);
std::uint64_t get_file_size(const std::string& path);
std::uint64_t get_symlink_size(const std::string& path);

// ---- Terminal, login name, free space -----------------------------------

void echo_off(int fd, termios* saved);
void echo_on(int fd, termios* saved);
void get_client_secret_input(std::string& input);
int getkey();
std::string get_loginname();
bool check_free_space(const std::string& dir, const unsigned long long& bytes);
bool check_free_space(const std::string& dir, const std::string& file);

}  // namespace hx_utils_common

namespace hx_details_linux {

void set_env_var(const std::string& name, const std::string& value, int overwrite);
void unset_env_var(const std::string& name);
std::string get_env_var(const std::string& name);

}  // namespace hx_details_linux

// A process environment variable that lives as long as this object.
class EnvironmentVariable {
 public:
  EnvironmentVariable(const std::string& name, const std::string& value);
  explicit EnvironmentVariable(const std::string& name);
  ~EnvironmentVariable();
  EnvironmentVariable(const EnvironmentVariable&) = delete;
  EnvironmentVariable& operator=(const EnvironmentVariable&) = delete;

  static std::string getValue(const std::string& name);
  static void setValue(const std::string& name, const std::string& value);
  static void unset(const std::string& name);

  std::string getName() const;
  std::string getValue() const;
  void setValue(const std::string& value);
  void unset();

 private:
  std::string name_;
};
