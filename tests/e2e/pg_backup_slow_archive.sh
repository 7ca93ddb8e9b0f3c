#!/usr/bin/env bash
# A full backup whose stop of backup mode waits well over a minute for a
# server archiver that is behind but keeps archiving: a backlog of WAL files,
# each archived two seconds late. The stall bound (a minute in which no WAL
# file is archived) is never reached while files keep being archived, and
# the backup is made. The cluster is made anew with 1 MiB WAL segments, so
# that the backlog stays small on the test bed's volumes.
set -euo pipefail
source "$HX_SOURCE_DIR/tests/e2e/lib/common.sh"
source "$HX_SOURCE_DIR/tests/e2e/lib/pg.sh"
source "$HX_SOURCE_DIR/tests/e2e/lib/backup.sh"
trap 'rm -f "$HX_PG_ARCHIVE_HOLD"' EXIT

"$PG" reinit --wal-segsize=1
markers_create

case_name "the stop waits for a slow archiver that keeps archiving, longer than the stall bound"
# 50 WAL files wait to be archived, each two seconds late: about 100 s of
# archiving, most of it after backup mode began.
echo 2 >"$HX_PG_ARCHIVE_HOLD"
for _ in $(seq 50); do echo "$MARKER_INSERT SELECT pg_switch_wal();"; done | "$PG" psql -q >/dev/null
backup_start -1 -b cluster -n slow
WAITING="SELECT count(*) FROM pg_stat_activity WHERE wait_event = 'BackupWaitWalArchive'"
for _ in $(seq 1200); do [ "$(psql_value "$WAITING")" = 1 ] && break || sleep 0.1; done
assert_eq 1 "$(psql_value "$WAITING")" "stops waiting for the WAL archive"
began=$SECONDS
backup_wait 400
waited=$((SECONDS - began))
rm -f "$HX_PG_ARCHIVE_HOLD"
assert_exit 0
assert_line "Info: Stop PostgreSQL base backup"
assert_line_matches "^MAIN SNAPSHOT FILENAME:"
# Only a wait past the bound shows that the archiver's progress kept it going.
[ "$waited" -ge 70 ] || fail "the stop waited only $waited s, not past the stall bound of 60 s"
nothing_left

finish
