# Sourced by the test stages that count steps of their own (test-package.sh,
# test-windows.sh). They define say() and start passed and failed at 0.
# check WHAT COMMAND...: runs the command and counts it.
check() {
  local what=$1
  shift
  if "$@"; then
    say "ok: $what"
    passed=$((passed + 1))
  else
    say "FAILED: $what"
    failed=$((failed + 1))
  fi
}
