# Signals at random moments of tasks of the test module; source after common.sh
# and archiver.sh (bare sandbox: the archiver stand-in, no server).
#   stress_signals RUNS   runs RUNS tasks, each a backup, a restore or a query
#                         (a shell pipeline under the module), and sends it
#                         SIGTERM, SIGINT, TSTP/CONT pairs, or pairs and then an
#                         abort, at random moments once its handlers are in
#                         place. Every run is checked: no hang, the exit code
#                         (17 for the first abort of each road, whose task
#                         outlasts it), no process of the task left, no
#                         lock left, the release hook at most once (exactly
#                         once, not interrupted, for a backup that ends with 0),
#                         no restore directory after an abort, nothing from
#                         the sanitizers (no leak check in runs with pairs).
#                         Prints a summary; failures go through fail().

# The marker in the environment of every process of run $1.
stress_marker() { printf 'HX_STRESS_RUN=%s-%s' "$$" "$1"; }

# Pids of processes whose environment holds the marker $1.
stress_marked() { grep -lsaF -- "$1" /proc/[0-9]*/environ 2>/dev/null | cut -d/ -f3 || true; }

# Random milliseconds below $1, as seconds for sleep.
stress_ms() { printf '%d.%03d' 0 $((RANDOM % $1)); }

stress_signals() {
  local runs="$1" i road action out err pid rc sig marker left started line first slow query
  local -A seen=() aborted=()
  local res="$W/stress-res" t="$W/stress-T" r="$W/stress-R"
  make_tree "$res"
  mkdir -p "$t" "$r"
  run_module -b "$res" -d "$t" -n base -m ms1 -T base
  [ "$RUN_RC" = 0 ] || { hx_fail_run "the base backup failed"; return 1; }
  cp "$t/base.snap" "$W/snaps/base.snap"

  for ((i = 1; i <= runs; i++)); do
    case $((RANDOM % 3)) in
      0) road=backup ;;
      1) road=restore ;;
      *) road=query ;;
    esac
    case $((RANDOM % 5)) in
      0) action=TERM ;;
      1) action=INT ;;
      2) action=pairs ;;
      *) action="pairs $([ $((RANDOM % 2)) = 0 ] && echo TERM || echo INT)" ;;
    esac
    case_name "signal stress run $i: $road, $action"
    reset_logs
    marker="$(stress_marker "$i")"
    out="$W/stress.out"
    err="$W/stress.err"
    local args=()
    case $road in
      backup) args=(-b "$res" -d "$t" -n "s$i" -m ms1 -T "s$i") ;;
      restore) args=(-r base -M "$(snap base)" -d "$r" -m ms1 -T "r$i") ;;
      query) args=(-t) ;;
    esac
    slow="$(stress_ms 700)"
    query="head -c $((RANDOM % 40 + 1))000000 /dev/zero | gzip -1 | cat >/dev/null"
    first=no
    if [[ "$action" != pairs ]] && [ -z "${aborted[$road]:-}" ]; then
      # The first abort of the road: the task outlasts every moment of the signal.
      first=yes aborted[$road]=yes slow=3 query="sleep 3"
    fi
    # LeakSanitizer looks at a process at its end through a tracer that stops
    # it with SIGSTOP; a SIGCONT landing then cancels that stop, and the tracer
    # waits for it for good. A run that sends pairs goes without that look
    # (the archiver's signal tests look at pauses).
    local asan="${ASAN_OPTIONS:-}"
    [[ "$action" != pairs* ]] || asan+=":detect_leaks=0"
    rm -f "$out" "$err"
    env "$marker" ASAN_OPTIONS="$asan" HX_HXFD_SLOW="$slow" HX_TEST_QUERY_COMMAND="$query" \
      "$HX_MODULE_BIN" "${args[@]}" >"$out" 2>"$err" </dev/null &
    pid=$!
    wait_handled "$pid"
    sleep "$(stress_ms 400)"
    sig=""
    if [[ "$action" == pairs* ]]; then
      local p
      for ((p = RANDOM % 3 + 1; p > 0; p--)); do
        kill -TSTP "$pid" 2>/dev/null
        sleep "$(stress_ms 60)"
        kill -CONT "$pid" 2>/dev/null
        sleep "$(stress_ms 100)"
      done
    fi
    case "$action" in
      *TERM) sig=TERM ;;
      *INT) sig=INT ;;
    esac
    [ -n "$sig" ] && kill -"$sig" "$pid" 2>/dev/null

    # No hang: a minute is far beyond the slowest task.
    wait_ended "$pid" 60 || fail "the task hung"
    rc=$RUN_RC
    RUN_STDOUT="$(cat "$out")"
    RUN_STDERR="$(cat "$err")"
    RUN_LINES="$(hx_log_strip_stamps <"$out")"

    # Completed: the road's last answer is there.
    local done_line
    case $road in
      backup) done_line="MAIN ARCHIVE SIGN FILENAME:$t/s$i.signature" ;;
      restore) done_line="Info: The archive 'base' has been unpacked successfully" ;;
      query) done_line="Test module: client check" ;;
    esac
    started=yes
    [ -s "$out" ] || started=no
    [ "$first" = no ] || [ "$rc" = 17 ] || hx_fail_run "the first abort of the road ended the task with $rc"
    case "$rc" in
      17)
        [ -n "$sig" ] || hx_fail_run "exit 17 without an abort"
        line="$(printf '%s\n' "$RUN_LINES" | tail -n 1)"
        [ "$line" = "Info: Module was terminated. PID: $pid" ] || hx_fail_run "last line: $line"
        ;;
      0) assert_line "$done_line" ;;
      130 | 143)
        # Ended by the signal's default action: before the handlers were in
        # place (nothing started) or after the task had ended.
        [ "$rc" = "$([ "$sig" = INT ] && echo 130 || echo 143)" ] || hx_fail_run "ended by another signal"
        [ "$started" = no ] || assert_line "$done_line"
        ;;
      *) hx_fail_run "exit code $rc" ;;
    esac
    seen["$rc"]=$((${seen["$rc"]:-0} + 1))

    # No process of the task outlives it (zombies are gone once reaped).
    local tries=0
    left="$(stress_marked "$marker")"
    while [ -n "$left" ] && [ "$tries" -lt 30 ]; do
      sleep 0.1
      tries=$((tries + 1))
      left="$(stress_marked "$marker")"
    done
    [ -z "$left" ] || fail "processes left: $(for p in $left; do tr '\0' ' ' <"/proc/$p/cmdline" 2>/dev/null; echo; done)"
    assert_eq "" "$(lock_names)" "locks left"
    local releases
    releases="$(grep -c '^release' "$HOOKS_LOG" || true)"
    [ "$releases" -le 1 ] || fail "the release hook ran $releases times"
    if [ "$road" = backup ] && [ "$rc" = 0 ]; then
      assert_eq "exists|prepare replica=0|release interrupted=0" "$(hooks)" "hooks"
    fi
    if [ "$road" = restore ] && [ "$rc" = 17 ] && [ -e "$r/base.rest" ]; then
      fail "the aborted restore left its directory"
    fi
    if grep -qE 'Sanitizer|runtime error' "$err"; then
      fail "sanitizer report: $(head -c 2000 "$err")"
    fi
    rm -rf "$r/base.rest" "$t/s$i" "$t/s$i".* "$HX_MEDIA_DIR/s$i" "$W/in/base.snap"
  done
  local summary="" code
  for code in "${!seen[@]}"; do summary+=" exit $code: ${seen[$code]}"; done
  echo "signal stress: $runs runs;$summary"
}
