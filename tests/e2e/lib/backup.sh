# Helpers of the end-to-end scripts that make backups of the test bed's
# cluster and prove them; source it after common.sh and pg.sh.
#
#   markers_create [TS]        tables marker_data (default tablespace) and
#                              marker_ts (tablespace TS, default ts1), filled
#                              with the same ids, one id per transaction
#   writer_start / writer_stop a background session committing one id after
#                              another into both marker tables
#   markers_add                commits one more id into both
#   markers_max                the highest id committed so far
#   pgbench_init SCALE [OPT...]  pgbench's tables (in the default tablespace
#                              unless an OPT of pgbench -i names another)
#   pgbench_start / pgbench_stop  pgbench's default script in the background
#   backup_run ARGS...         runs the program (run_module) with the task
#                              options of $BK_TASK_DIR; MARK_BEGIN and MARK_END
#                              are markers_max before and after it
#   backup_start ARGS...       the same in the background (pid BK_PID), and
#   backup_wait [SECONDS]      its end (default: within 300 s)
#   setting KEY                the value of a "MODULE SETTING:KEY:" line
#   nothing_left               no snapshot registered or mounted, no session of
#                              the module's user, no lock name or owner file left
#   prove_backup NAME...       unpacks what the archiver stored under NAMEs
#                              (a full backup and the incrementals after it)
#                              into a scratch directory, starts a second server
#                              on it, lets it recover (to the end of the full
#                              backup when NAME is alone, through all the WAL
#                              otherwise) and checks pgbench's sums and that
#                              the marker tables hold every id up to
#                              PROOF_MIN and none after PROOF_MAX (a tablespace
#                              not mapped into the unpacked archive fails it)

PG="$HX_TESTBED_DIR/pg"
BK_TASK_DIR="$HX_SANDBOX_DIR/task"
mkdir -p "$BK_TASK_DIR"
BK_SCRATCH="$HX_SANDBOX_DIR/proof"

psql_value() { "$PG" psql -qAt -c "$1"; }

markers_create() {
  "$PG" psql -q <<EOF
CREATE SEQUENCE marker_seq;
CREATE TABLE marker_data (id bigint PRIMARY KEY);
CREATE TABLE marker_ts (id bigint PRIMARY KEY) TABLESPACE ${1:-ts1};
EOF
}

# One statement, one transaction: the same id goes into both tables.
MARKER_INSERT="WITH n AS (SELECT nextval('marker_seq') AS id), a AS (INSERT INTO marker_data SELECT id FROM n) INSERT INTO marker_ts SELECT id FROM n;"
markers_add() { "$PG" psql -q -c "$MARKER_INSERT"; }

writer_start() {
  (
    while :; do
      echo "$MARKER_INSERT"
      sleep 0.02
    done | "$PG" psql -q >/dev/null 2>&1
  ) &
  WRITER_PID=$!
  # The first ids are committed before anything else happens.
  local i
  for i in $(seq 1 100); do
    [ "$(markers_max)" -ge 3 ] && return 0
    sleep 0.1
  done
  fail "the marker writer commits nothing"
  return 1
}

writer_stop() {
  [ -n "${WRITER_PID:-}" ] || return 0
  pkill -P "$WRITER_PID" 2>/dev/null || true
  kill "$WRITER_PID" 2>/dev/null || true
  wait "$WRITER_PID" 2>/dev/null || true
  WRITER_PID=""
}

markers_max() { psql_value "SELECT coalesce(max(id), 0) FROM marker_data"; }

pgbench_init() {
  "$HX_PG_BIN/pgbench" -i -q -s "$1" "${@:2}" -h "$PGHOST" -p "$PGPORT" -U postgres postgres >/dev/null 2>&1 ||
    { fail "pgbench -i failed"; return 1; }
}

# pgbench at a bounded rate, so that the small volumes of the test bed never
# fill up, with the server's WAL kept small for the same reason.
pgbench_start() {
  "$PG" psql -q -c "ALTER SYSTEM SET max_wal_size = '96MB'" -c "SELECT pg_reload_conf()" >/dev/null
  "$HX_PG_BIN/pgbench" -n -c 2 -R 40 -T 900 -h "$PGHOST" -p "$PGPORT" -U postgres postgres >/dev/null 2>&1 &
  PGBENCH_PID=$!
}

pgbench_stop() {
  [ -n "${PGBENCH_PID:-}" ] || return 0
  # A background job of a script ignores SIGINT: TERM ends it.
  kill -TERM "$PGBENCH_PID" 2>/dev/null || true
  wait "$PGBENCH_PID" 2>/dev/null || true
  PGBENCH_PID=""
}

# Snapshots get room for the writes of a busy server during the archiver run.
backup_run() {
  MARK_BEGIN="$(markers_max)"
  run_module "$@" -d "$BK_TASK_DIR" -m media1 -T task1 -e "${BK_PARAMS:-lvm_snapshot_size:50}"
  MARK_END="$(markers_max)"
}

backup_start() {
  MARK_BEGIN="$(markers_max)"
  BK_OUT="$HX_SANDBOX_DIR/backup.out"
  rm -f "$BK_OUT"
  "$HX_MODULE_BIN" "$@" -d "$BK_TASK_DIR" -m media1 -T task1 -e "${BK_PARAMS:-lvm_snapshot_size:50}" \
    >"$BK_OUT" 2>&1 </dev/null &
  BK_PID=$!
}

backup_wait() {
  wait_ended "$BK_PID" "${1:-300}" || fail "the backup did not end within ${1:-300} s"
  RUN_STDOUT="$(cat "$BK_OUT")"
  RUN_STDERR=""
  RUN_LINES="$(hx_log_strip_stamps <"$BK_OUT")"
  MARK_END="$(markers_max)"
}

setting() { printf '%s\n' "$RUN_STDOUT" | sed -n "s/^MODULE SETTING:$1://p"; }

nothing_left() {
  local snaps mounted sessions locks i
  snaps="$("$HX_TESTBED_DIR/lvm" list | awk -F'\t' '$6 != "-"' | wc -l)"
  mounted="$(grep -c "$BK_TASK_DIR" /proc/self/mountinfo || true)"
  # The server ends the session of an ended task once it reads the closed connection.
  for i in $(seq 50); do
    sessions="$(psql_value "SELECT count(*) FROM pg_stat_activity WHERE usename = '$HX_PG_USER'")"
    [ "$sessions" = 0 ] && break || sleep 0.1
  done
  locks="$({ ls /dev/shm; find /opt/halvex/var -name '*.owner' -printf '%f\n'; } |
    grep -c '^sem\.\|^Halvex_MOD_' || true)"
  assert_eq "0 0 0 0" "$snaps $mounted $sessions $locks" "snapshots, mounts, module sessions, lock names left"
  [ ! -e "$HX_PG_ARCHIVE/.hx_backup_wal" ] || fail "the archiver's links of WAL files were left in the WAL archive"
}

# Pids of the scratch server, for the teardown of a failed proof.
proof_stop() {
  [ -f "$BK_SCRATCH/data/postmaster.pid" ] || return 0
  hx_as_postgres "$HX_PG_BIN/pg_ctl" -D "$BK_SCRATCH/data" -m immediate -w stop >/dev/null 2>&1 || true
}

hx_as_postgres() { (cd / && setpriv --reuid=postgres --regid=postgres --init-groups --reset-env "$@"); }

prove_backup() {
  local data="$HX_PG_DATA" names=("$@") name
  proof_stop
  rm -rf "$BK_SCRATCH"
  mkdir -p "$BK_SCRATCH/root" "$BK_SCRATCH/run"
  for name in "${names[@]}"; do
    tar -xpf "$HX_MEDIA_DIR/$name" -C "$BK_SCRATCH/root" --exclude=.hxfd-archive.json ||
      { fail "archive $name does not unpack"; return 1; }
  done
  local root="$BK_SCRATCH/root"
  [ -f "$root$data/backup_label" ] || { fail "no backup_label in the archive of ${names[0]}"; return 1; }
  # The scratch server's own data directory; the tablespaces stay where they
  # were unpacked and the map points there. A tablespace of the archive that
  # the map does not redirect, or a location that leads out of the unpacked
  # archive, would be the live one.
  mv "$root$data" "$BK_SCRATCH/data"
  local map="$BK_SCRATCH/data/tablespace_map" oid location
  for oid in $(ls "$BK_SCRATCH/data/pg_tblspc"); do
    grep -q "^$oid " "$map" || { fail "tablespace $oid of the archive is missing from its tablespace_map"; return 1; }
  done
  while read -r oid location; do
    [[ "$(realpath -e "$root$location")" == "$root/"* ]] ||
      { fail "tablespace $oid ($location) is not inside the unpacked archive"; return 1; }
    echo "$oid $root$location"
  done <"$map" >"$map.proof"
  mv "$map.proof" "$map"
  local port target=""
  port="$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')"
  [ ${#names[@]} -eq 1 ] && target="recovery_target = 'immediate'"
  cat >>"$BK_SCRATCH/data/postgresql.conf" <<EOF

# Proof of a backup
port = $port
listen_addresses = ''
unix_socket_directories = '$BK_SCRATCH/run'
archive_mode = off
restore_command = 'cp "$root$HX_PG_ARCHIVE/%f" "%p"'
recovery_target_action = 'promote'
$target
EOF
  touch "$BK_SCRATCH/data/recovery.signal"
  chown -R postgres:postgres "$BK_SCRATCH"
  chmod 700 "$BK_SCRATCH/data"
  if ! hx_as_postgres "$HX_PG_BIN/pg_ctl" -D "$BK_SCRATCH/data" -l "$BK_SCRATCH/server.log" -w -t 120 start \
    >/dev/null 2>&1; then
    fail "no server starts on the backup ${names[*]}"
    tail -n 20 "$BK_SCRATCH/server.log" >&2
    return 1
  fi
  local q=("$HX_PG_BIN/psql" -X -qAt -h "$BK_SCRATCH/run" -p "$port" -U postgres -d postgres)
  local i
  for i in $(seq 1 120); do
    [ "$("${q[@]}" -c "SELECT pg_is_in_recovery()" 2>/dev/null)" = f ] && break
    sleep 0.5
  done
  assert_eq f "$("${q[@]}" -c "SELECT pg_is_in_recovery()")" "the recovered server left recovery"
  grep -q "consistent recovery state reached" "$BK_SCRATCH/server.log" ||
    fail "the recovered server never reached a consistent state"
  local sums
  sums="$("${q[@]}" -c "SELECT (SELECT sum(abalance) FROM pgbench_accounts) || ' ' ||
      (SELECT sum(tbalance) FROM pgbench_tellers) || ' ' || (SELECT sum(bbalance) FROM pgbench_branches) || ' ' ||
      (SELECT coalesce(sum(delta), 0) FROM pgbench_history)")"
  read -r a t b h <<<"$sums"
  [ "$a" = "$t" ] && [ "$t" = "$b" ] && [ "$b" = "$h" ] || fail "pgbench's sums disagree: $sums"
  local rows
  rows="$("${q[@]}" -c "SELECT (SELECT count(*) FROM marker_data) || ' ' || (SELECT coalesce(max(id), 0) FROM marker_data)
      || ' ' || (SELECT count(*) FROM marker_ts) || ' ' || (SELECT count(*) FROM marker_data d JOIN marker_ts t USING (id))")"
  read -r count max ts_count both <<<"$rows"
  # Ids are committed one after another: an unbroken run 1..max in both tables.
  [ "$count" = "$max" ] && [ "$ts_count" = "$max" ] && [ "$both" = "$max" ] ||
    fail "marker rows not one unbroken run in both tables: $rows"
  [ "$max" -ge "$PROOF_MIN" ] || fail "rows committed before the backup began are missing: max $max < $PROOF_MIN"
  [ "$max" -le "$PROOF_MAX" ] || fail "rows committed after the backup ended are present: max $max > $PROOF_MAX"
  proof_stop
}
