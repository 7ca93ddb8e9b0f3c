# Helpers of the end-to-end scripts of the archiver road (backup, restore,
# apply, signals) with the test module and the hxfd stand-in. Source it after
# common.sh:
#   source "$HX_SOURCE_DIR/tests/e2e/lib/common.sh"
#   source "$HX_SOURCE_DIR/tests/e2e/lib/archiver.sh"
#
#   W                             work directory of the script ($HX_SANDBOX_DIR/work)
#   RESTRICTION_LIST              the test module's local restriction list
#   HXFD_ARGV, HXFD_CALLS, HOOKS_LOG  logs of the stand-in and of the test module's hooks
#   make_tree DIR                 fills DIR with files of several modes and owners,
#                                 a symbolic link, an empty directory and a name
#                                 with a blank
#   tree_state DIR                one line per entry below DIR: path, type, mode,
#                                 owner, size, link target, content digest
#   assert_same_tree A B          tree_state of A and B are equal
#   last_argv                     the last line of the stand-in's argv log
#   assert_last_argv TEXT         last_argv equals TEXT
#   argv_count                    number of archiver calls so far
#   hooks                         the hooks log as one line, entries joined by "|"
#   reset_logs                    empties the argv, calls and hooks logs
#   run_bg ARGS...                starts the module in the background with its
#                                 output in $BG_OUT; sets BG_PID
#   wait_bg                       waits for it; sets RUN_RC, RUN_STDOUT, RUN_LINES
#   wait_for_text FILE TEXT [S]   waits up to S seconds (default 20) until FILE
#                                 holds TEXT; false on time-out
#   hxfd_pid_of FILE              the PID of the last "HXFD PID: " line in FILE
#   proc_state PID                the state letter of a process ("" when gone)
#   wait_for_state PID STATES [S] waits until the state is one of STATES
#   lock_names                    the named-semaphore files of resource locks
#   task_secret ID                writes the task secret file of a task id
#   shell_arg VALUE               the module's shell quoting of a value
#   argv_text WORDS...            the stand-in's argv log line for these words

W="$HX_SANDBOX_DIR/work"
mkdir -p "$W"
RESTRICTION_LIST=/opt/halvex/etc/halvex_restriction.list.test
HXFD_ARGV="$HX_STANDIN_LOG_DIR/hxfd.argv"
HXFD_CALLS="$HX_STANDIN_LOG_DIR/hxfd.calls"
HOOKS_LOG="$HX_STANDIN_LOG_DIR/hooks.log"
RUN_SIG='bool HxModuleUniversal::run_hxfd_command(const string&, std::string&, pid_t&, std::string&)'

make_tree() {
  local d="$1"
  mkdir -p "$d/sub/deeper" "$d/empty dir" "$d/private"
  printf 'first file\n' >"$d/a.txt"
  head -c 200000 /dev/urandom >"$d/sub/blob.bin"
  printf 'deep\n' >"$d/sub/deeper/c"
  printf 'blank in name\n' >"$d/sub/with blank.txt"
  printf 'secret\n' >"$d/private/key"
  ln -s ../a.txt "$d/sub/link"
  chown 1234:5678 "$d/sub/blob.bin"
  chown 4321:8765 "$d/private" "$d/private/key"
  chown 1234:5678 "$d/sub/deeper"
  chmod 640 "$d/a.txt"
  chmod 700 "$d/private"
  chmod 600 "$d/private/key"
  chmod 2750 "$d/sub/deeper"
}

tree_state() {
  (
    cd "$1" || exit 1
    find . -mindepth 1 -printf '%p %y %m %U:%G %s %l\n' | sort
    find . -type f -exec sha256sum {} + | sort -k2
  )
}

assert_same_tree() {
  local diffs
  diffs="$(diff <(tree_state "$1") <(tree_state "$2"))"
  if [ -n "$diffs" ]; then
    fail "trees differ: $1 and $2"
    printf '%s\n' "$diffs" | sed 's/^/  /' >&2
    return 1
  fi
}

last_argv() { tail -n 1 "$HXFD_ARGV" 2>/dev/null; }

assert_last_argv() {
  assert_eq "$1" "$(last_argv)" "archiver argv"
}

argv_count() {
  if [ -f "$HXFD_ARGV" ]; then wc -l <"$HXFD_ARGV"; else echo 0; fi
}

hooks() {
  [ -f "$HOOKS_LOG" ] || return 0
  paste -sd'|' "$HOOKS_LOG"
}

reset_logs() {
  : >"$HXFD_ARGV"
  : >"$HXFD_CALLS"
  : >"$HOOKS_LOG"
}

run_bg() {
  BG_OUT="$(mktemp)"
  "$HX_MODULE_BIN" "$@" >"$BG_OUT" 2>&1 </dev/null &
  BG_PID=$!
}

wait_bg() {
  wait "$BG_PID"
  RUN_RC=$?
  RUN_STDOUT="$(cat "$BG_OUT")"
  RUN_STDERR=""
  RUN_LINES="$(hx_log_strip_stamps <"$BG_OUT")"
}

wait_for_text() {
  local file="$1" text="$2" limit="${3:-20}" i=0
  while [ "$i" -lt $((limit * 20)) ]; do
    grep -Fq -- "$text" "$file" 2>/dev/null && return 0
    sleep 0.05
    i=$((i + 1))
  done
  return 1
}

hxfd_pid_of() {
  grep -o '^HXFD PID: [0-9]*' "$1" | tail -n 1 | sed 's/^HXFD PID: //'
}

proc_state() {
  [ -r "/proc/$1/stat" ] || return 0
  sed -E 's/^[0-9]+ \(.*\) ([A-Za-z]) .*/\1/' "/proc/$1/stat" 2>/dev/null
}

wait_for_state() {
  local pid="$1" states="$2" limit="${3:-20}" i=0 s
  while [ "$i" -lt $((limit * 20)) ]; do
    s="$(proc_state "$pid")"
    case "$states" in *"$s"*) [ -n "$s" ] && return 0 ;; esac
    sleep 0.05
    i=$((i + 1))
  done
  return 1
}

lock_names() {
  ls /dev/shm 2>/dev/null | grep '^sem\.Halvex_MOD_mutex_' || true
}

task_secret() {
  mkdir -p /opt/halvex/var/tasks
  printf 'secret of task %s\n' "$1" >"/opt/halvex/var/tasks//task_secret_$1"
}

# The module's quoting of a value in a shell command: unchanged when it holds
# only letters, digits and _ . / : , + = @ % -, else in single quotes with
# each single quote written as '\''.
shell_arg() {
  case "$1" in
    *[!A-Za-z0-9_./:,+=@%-]* | '') printf "'%s'" "${1//\'/\'\\\'\'}" ;;
    *) printf '%s' "$1" ;;
  esac
}

# The line the stand-in logs for an argv: the words shell-quoted the way
# Python's shlex.join does.
argv_text() { /usr/bin/python3 -c 'import shlex, sys; print(shlex.join(sys.argv[1:]))' "$@"; }
