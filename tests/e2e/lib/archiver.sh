# Helpers of the archiver-road scripts (test module + hxfd stand-in); source after
# common.sh. W is the work directory; HXFD_ARGV, HXFD_CALLS and HOOKS_LOG are the
# logs of the stand-in and of the test module's hooks. The argv log holds one
# shlex-quoted line per call (argv_text gives that form); make_tree fills a
# directory with files of several modes and owners, a link, an empty directory
# and names with a blank; snap NAME gives a fresh copy of a snapshot file kept
# by keep_snap NAME (a restore uses up the one it is given).

W="$HX_SANDBOX_DIR/work"
mkdir -p "$W/snaps" "$W/in"
RESTRICTION_LIST=/opt/halvex/etc/halvex_restriction.list.test
HXFD_ARGV="$HX_STANDIN_LOG_DIR/hxfd.argv"
HXFD_CALLS="$HX_STANDIN_LOG_DIR/hxfd.calls"
HOOKS_LOG="$HX_STANDIN_LOG_DIR/hooks.log"

make_tree() {
  local d="$1"
  mkdir -p "$d/sub/deeper" "$d/empty dir" "$d/private"
  printf 'first file\n' >"$d/a.txt"
  head -c 200000 /dev/urandom >"$d/sub/blob.bin"
  printf 'deep\n' >"$d/sub/deeper/c"
  printf 'blank in name\n' >"$d/sub/with blank.txt"
  printf 'secret\n' >"$d/private/key"
  ln -s ../a.txt "$d/sub/link"
  chown 1234:5678 "$d/sub/blob.bin" "$d/sub/deeper"
  chown 4321:8765 "$d/private" "$d/private/key"
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
  diffs="$(diff <(tree_state "$1") <(tree_state "$2") || true)"
  [ -z "$diffs" ] && return 0
  fail "trees differ: $1 and $2"
  printf '%s\n' "$diffs" | sed 's/^/  /' >&2
}

assert_last_argv() { assert_eq "$1" "$(tail -n 1 "$HXFD_ARGV" 2>/dev/null)" "archiver argv"; }
argv_text() { /usr/bin/python3 -c 'import shlex, sys; print(shlex.join(sys.argv[1:]))' "$@"; }
argv_count() { if [ -f "$HXFD_ARGV" ]; then wc -l <"$HXFD_ARGV"; else echo 0; fi; }
hooks() { [ -f "$HOOKS_LOG" ] && paste -sd'|' "$HOOKS_LOG"; return 0; }
reset_logs() { : >"$HXFD_ARGV"; : >"$HXFD_CALLS"; : >"$HOOKS_LOG"; }

keep_snap() { cp "$T/$1.snap" "$W/snaps/$1.snap"; }
snap() {
  cp "$W/snaps/$1.snap" "$W/in/$1.snap"
  printf '%s' "$W/in/$1.snap"
}

run_bg() {
  BG_OUT="$(mktemp)"
  "$HX_MODULE_BIN" "$@" >"$BG_OUT" 2>&1 </dev/null &
  BG_PID=$!
}

wait_bg() {
  RUN_RC=0
  wait "$BG_PID" || RUN_RC=$?
  RUN_STDOUT="$(cat "$BG_OUT")"
  RUN_STDERR=""
  RUN_LINES="$(hx_log_strip_stamps <"$BG_OUT")"
}

hxfd_pid_of() { { grep -o '^HXFD PID: [0-9]*' "$1" || true; } | tail -n 1 | sed 's/^HXFD PID: //'; }

wait_for_state() {
  local i=0 s
  while [ "$i" -lt $((${3:-20} * 20)) ]; do
    s="$(proc_state "$1")"
    case "$2" in *"$s"*) [ -n "$s" ] && return 0 ;; esac
    sleep 0.05
    i=$((i + 1))
  done
  return 1
}

lock_names() {
  { ls /dev/shm; find /opt/halvex/var -name '*.owner'; } 2>/dev/null |
    grep -E '^sem\.Halvex_MOD_mutex_|\.owner$' || true
}
