# Sourced by the test stages that count steps of their own (test-package.sh,
# test-windows.sh, test-container.sh). They define say() and start passed and failed at 0.
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

# built_programs DIR: the programs a build in DIR made, one a line (CMake's
# own probes and CPack's staging left out). The packages' builds must make
# zolt-server and zolt-client and nothing else: no test, no benchmark.
built_programs() {
  find "$1" \( -name CMakeFiles -o -name _CPack_Packages -o -name 'wineprefix*' -o -name unpacked \) \
    -prune -o -type f \( -perm -u+x -o -name '*.exe' \) -print | sed "s|^$1/||" | sort
}
