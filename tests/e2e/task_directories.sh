#!/usr/bin/env bash
# sandbox: bare
# Tasks make and remove things only below their -d directory: names that would
# lead out of it are refused, and accepted tasks with odd names (succeeding,
# failing or aborted) leave everything beside it as it was. An answer that
# cannot be written is no success.
set -euo pipefail
source "$HX_SOURCE_DIR/tests/e2e/lib/common.sh"
source "$HX_SOURCE_DIR/tests/e2e/lib/archiver.sh"

RES="$W/res"
make_tree "$RES"
P="$W/parent"
D="$P/d"
mkdir -p "$D" "$P/x.rest/kept" "$P/x.snap_dir"
printf 'kept\n' >"$P/x"
# Everything beside the -d directory, with sizes and contents.
beside() { (cd "$P" && find . -path ./d -prune -o -printf '%p %y %s\n' | sort && sha256sum x); }
BEFORE="$(beside)"
set +e  # from here on every command's outcome is checked

case_name "names that lead out of the -d directory are refused"
for name in ../x x/../../x ..; do
  run_module -b "$RES" -d "$D" -n "$name" -m ms1 -T t1
  assert_exit 14
  run_module -r "$name" -M "$D/none.snap" -d "$D" -m ms1 -T t2
  assert_exit 14
  run_module -r R -M "$D/none.snap" -d "$D" -i "$name" -m ms1 -T t3
  assert_exit 14
  run_module -b "$RES" -d "$D" -n db1 -m ms1 -T "$name"
  assert_exit 14
done

case_name "odd names stay inside: backup, restore, failed and aborted restores"
run_module -b "$RES" -d "$D" -n "..x" -m ms1 -T "..t"
assert_exit 0
cp "$D/..x.snap" "$W/snaps/..x.snap"
run_module -r "..x" -M "$(snap ..x)" -d "$D" -m ms1 -T r1
assert_exit 0
[ -d "$D/..x.rest" ] || fail "no restore directory"
HX_TEST_FAIL=after_restore run_module -r "..x" -M "$(snap ..x)" -d "$D" -m ms1 -T r2 -e last:true
assert_exit 7
[ -d "$D/..x.rest" ] || fail "a failed restore removed a directory it did not make"
rm -rf "$D/..x.rest"
HX_HXFD_SLOW=30 run_bg -r "..x" -M "$(snap ..x)" -d "$D" -m ms1 -T r3
wait_for_text "$BG_OUT" "HXFD PID: " 20 || fail "the archiver did not start"
kill -TERM "$BG_PID"
wait_bg
assert_exit 17
[ -e "$D/..x.rest" ] && fail "the aborted restore left its directory"
assert_eq "$BEFORE" "$(beside)" "everything beside the -d directory"

case_name "an answer that cannot be written gives no exit code 0"
"$HX_MODULE_BIN" -V >/dev/full
assert_eq 13 "$?" "exit code"
grep -Fq "Error: The answer could not be written to standard output: No space left on device" \
  "/opt/halvex/log/$(basename "$HX_MODULE_BIN").log" || fail "no Error line in the log file"

finish
