# Shared by the command-line tests: run a command, compare what it printed
# and its exit status, count passes and failures.
# Sourced with the test's arguments: the zq5210 program and the examples folder.
zq=$1
examples=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

passed=0
failed=0

# expect NAME STATUS STDOUT STDERR -- COMMAND...
# STDOUT/STDERR are compared whole; "*" skips a stream.
expect() {
  local name=$1 want_status=$2 want_out=$3 want_err=$4
  shift 5
  local out err status
  out=$("$@" 2>"$work/stderr") && status=0 || status=$?
  err=$(cat "$work/stderr")
  printf '%s\n' "$out" >"$work/stdout"
  local ok=1
  [ "$status" = "$want_status" ] || ok=0
  [ "$want_out" = "*" ] || [ "$out" = "$want_out" ] || ok=0
  [ "$want_err" = "*" ] || [ "$err" = "$want_err" ] || ok=0
  if [ $ok = 1 ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    printf 'FAIL %s\n  status %s (want %s)\n  stdout: %s\n  want:   %s\n  stderr: %s\n  want:   %s\n' \
      "$name" "$status" "$want_status" "$out" "$want_out" "$err" "$want_err"
  fi
}

# check NAME CONDITION... : a plain assertion
check() {
  local name=$1
  shift
  if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAIL $name"; fi
}

finish() {
  echo "$passed passed, $failed failed"
  [ "$failed" = 0 ]
}
