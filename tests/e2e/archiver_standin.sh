#!/usr/bin/env bash
# sandbox: bare
# The hxfd stand-in on its own, for what the module's scripts do not reach:
# compression, single-file entries, numeric owners, adding to an archive,
# restores that would pass a link, key checks, refusal of broken command lines
# and failures on request.
set -euo pipefail
source "$HX_SOURCE_DIR/tests/e2e/lib/common.sh"
source "$HX_SOURCE_DIR/tests/e2e/lib/archiver.sh"

HXFD=/opt/halvex/bin/hxfd
H=(-a sha2 -2 -b 16384)
KEYS=/opt/halvex/keys/master-key,/opt/halvex/keys/secret-key.pem
MS=(-M ms1 -T t1 -s /opt/halvex/var/tasks//task_secret_t1 -m "$W/meta/arch1.meta")

run_hxfd() {
  RUN_RC=0
  RUN_STDOUT="$("$HXFD" "$@" 2>&1)" || RUN_RC=$?
  RUN_LINES="$RUN_STDOUT"
}

SRC="$W/src"
make_tree "$SRC"
printf 'HXFD file list:\n   %s : data/src\n   %s : data/a-copy\n' "$SRC" "$SRC/a.txt" >"$W/list"
mkdir -p "$W/meta" "$W/out1" "$W/out2" "$W/out3" "$W/out4"

case_name "compressed media-server backup with a single-file entry, restored in full"
run_hxfd "${H[@]}" -c "$W/list" -x "$KEYS" -z best -p 4 --memory-threshold 100 -M ms1 -N arch1 -T t1 -s /opt/halvex/var/tasks//task_secret_t1 -m "$W/meta/arch1.meta"
assert_exit 0
assert_eq "HXFD PID: " "$(printf '%s\n' "$RUN_STDOUT" | head -n 1 | cut -c1-10)" "first line"
assert_line_matches '^Packed: 12 files, [0-9]+ bytes$'
gzip -t <"$HX_MEDIA_DIR/arch1" 2>/dev/null || fail "-z best did not compress"
run_hxfd "${H[@]}" -R arch1 "${MS[@]}" -d "$W/out1" -p 0
assert_exit 0
assert_line_matches '^Unpacked: 12 files, [0-9]+ bytes$'
assert_same_tree "$SRC" "$W/out1/data/src"
assert_eq "$(cat "$SRC/a.txt")" "$(cat "$W/out1/data/a-copy")" "single file entry"

case_name "numeric owners only; restore by number, granular"
run_hxfd "${H[@]}" -c "$SRC" --numeric-owner -n "$W/auto.hxfd" -m "$W/meta/auto.meta"
assert_exit 0
run_hxfd -l "$W/meta/auto.meta" -v 1
assert_line_matches "^-rw-r----- 0/0 +11 [0-9-]+ [0-9:]+ ${SRC#/}/a\.txt$"
assert_line_matches "^lrwxrwxrwx 0/0 +0 [0-9-]+ [0-9:]+ ${SRC#/}/sub/link -> \.\./a\.txt$"
assert_not_contains "HXFD PID:"
run_hxfd "${H[@]}" -r "$W/auto.hxfd" -d "$W/out2" --set-to-numeric -E -f "${SRC#/}/private"
assert_exit 0
assert_eq "./${SRC#/}/private/key" "$(cd "$W/out2" && find . -type f | paste -sd'|')" "granular restore"
assert_eq "4321:8765" "$(stat -c %u:%g "$W/out2/${SRC#/}/private/key")" "owner"

case_name "adding to an archive"
printf 'added\n' >"$W/extra.txt"
printf 'HXFD file list:\n   %s : data/extra.txt\n' "$W/extra.txt" >"$W/addlist"
run_hxfd "${H[@]}" -U arch1 --add "$W/addlist" "${MS[@]}" -z best
assert_exit 0
run_hxfd -l "$W/meta/arch1.meta" -v 0
assert_line "data/extra.txt"
assert_line "data/src/sub/with blank.txt"
(cd "$W" && run_hxfd "${H[@]}" -u auto.hxfd --add "$W/addlist")
run_hxfd "${H[@]}" -r "$W/auto.hxfd" -d "$W/out3"
assert_eq "added" "$(cat "$W/out3/data/extra.txt" 2>/dev/null)" "added file"

case_name "a restore never unpacks through a symbolic link, one of the archive or one on disk"
top="${SRC#/}" && top="${top%%/*}"
mkdir -p "$W/elsewhere" "$W/out5" "$W/out6"
ln -s "$W/elsewhere" "$W/out5/$top" && ln -s "$W/elsewhere" "$W/linkdir"
run_hxfd "${H[@]}" -r "$W/auto.hxfd" -d "$W/out5"
assert_exit 1
assert_line "hxfd: error: refusing to unpack ${SRC#/} through the symbolic link $top"
printf 'HXFD file list:\n   %s : data/x\n   %s : data/x/y\n' "$W/linkdir" "$SRC/a.txt" >"$W/linklist"
run_hxfd "${H[@]}" -c "$W/linklist" -n "$W/link.hxfd" -m "$W/meta/link.meta"
assert_exit 0
run_hxfd "${H[@]}" -r "$W/link.hxfd" -d "$W/out6"
assert_exit 1
assert_line "hxfd: error: refusing to unpack data/x/y through the symbolic link data/x"
assert_eq "" "$(ls -A "$W/elsewhere")" "what was unpacked through the links"

case_name "an encrypted archive needs the same cipher and key content"
run_hxfd "${H[@]}" -c "$SRC" -n "$W/enc.hxfd" -m "$W/meta/enc.meta" -C kuznyechik -k /opt/halvex/keys/master-key
assert_exit 0
for key in "" /opt/halvex/keys/secret-key.pem; do
  run_hxfd "${H[@]}" -r "$W/enc.hxfd" -d "$W/out4" ${key:+-C kuznyechik -k "$key"}
  assert_exit 1
done
run_hxfd "${H[@]}" -c "$SRC" -n "$W/enc2.hxfd" -m "$W/meta/enc2.meta" -C kuznyechik -k "$W/no-key"
assert_exit 1
[ -e "$W/enc2.hxfd" ] && fail "an archive was written without its key file"

case_name "broken command lines are refused with 2"
for args in "-c $W/list -x $KEYS -n $W/x.hxfd -m $W/x.meta extra-word" \
  "-c $W/list -n $W/x.hxfd -m $W/x.meta --bogus" \
  "-c $W/list -n $W/x.hxfd -m $W/x.meta -z medium" \
  "-c $W/list -n $W/x.hxfd -m $W/x.meta -p many" \
  "-c $W/list -n $W/x.hxfd" \
  "-c $W/list -M ms1 -N x -m $W/x.meta" \
  "-c $W/list -n $W/x.hxfd -m $W/x.meta -d $W" \
  "-c $W/list -c $W/list -n $W/x.hxfd -m $W/x.meta" \
  "-R arch1 -d $W/out1" \
  "-c $W/list -n $W/x.hxfd -m"; do
  case_name "broken command line: $args"
  # shellcheck disable=SC2086
  run_hxfd "${H[@]}" $args
  assert_exit 2
done
run_hxfd -c "$W/list" -n "$W/x.hxfd" -m "$W/x.meta"
assert_exit 2
assert_line "hxfd: error: option -a (hash algorithm) is missing"
[ -e "$W/x.hxfd" ] && fail "a refused command line wrote an archive"

case_name "failures on request"
HX_HXFD_FAIL=restore run_hxfd "${H[@]}" -c "$SRC" -n "$W/f.hxfd" -m "$W/meta/f.meta"
assert_exit 0
HX_HXFD_FAIL=backup,list HX_HXFD_FAIL_CODE=9 run_hxfd "${H[@]}" -c "$SRC" -n "$W/g.hxfd" -m "$W/meta/g.meta"
assert_exit 9
assert_line "hxfd: error: backup failed on request (HX_HXFD_FAIL)"
[ -e "$W/g.hxfd" ] && fail "a failed backup wrote an archive"
HX_HXFD_FAIL=1 run_hxfd -l "$W/meta/f.meta" -v 1
assert_exit 1

finish
