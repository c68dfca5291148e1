# Sourced by tools/test-sanitize.sh and tools/test-fuzz.sh: the one build
# tree both stages use, build-sanitize/. The sanitized suite and the fuzz
# targets want the same library (AddressSanitizer, UBSan, the bounds checks
# of the standard containers); with clang's libFuzzer at hand the library
# also carries the fuzzer's coverage counters, which the suite's programs
# carry along unused. Built once, it serves both stages; the stages differ
# only in the targets they ask for.
#
# sanitized_tree_configure ROOT: configures ROOT/build-sanitize and sets
#   sanitized_dir     that folder
#   sanitized_compiler, sanitized_flags   what it compiles with
#   sanitized_fuzz    1 when the fuzz targets can be built (clang++ links
#                     libFuzzer), else empty, with the reason in
#                     sanitized_no_fuzz
# It returns 2 when no C++ compiler exists, 1 when configuring failed
# (the log is shown), 0 otherwise.
sanitized_tree_configure() {
  local root=$1 compiler sanitizers extra="" flags probe
  sanitized_dir="$root/build-sanitize"
  sanitized_fuzz=""
  sanitized_no_fuzz=""
  mkdir -p "$sanitized_dir"
  # clang's -fsanitize=undefined includes the float-to-integer range check;
  # gcc needs it named, and its sanitizer instrumentation makes
  # -Wmaybe-uninitialized report library code falsely (std::function inside
  # <regex>), so that warning is left to the plain build.
  if command -v clang++ > /dev/null; then
    compiler=clang++
    sanitizers=address,undefined
    probe="$sanitized_dir/libfuzzer-probe"
    printf '%s\n' '#include <cstddef>' '#include <cstdint>' \
      'extern "C" int LLVMFuzzerTestOneInput(const uint8_t*, size_t) { return 0; }' > "$probe.cc"
    if clang++ -fsanitize=fuzzer,address,undefined "$probe.cc" -o "$probe" 2> "$probe.log"; then
      sanitized_fuzz=1
    else
      sanitized_no_fuzz="clang++ cannot link libFuzzer (libclang-rt-14-dev missing?): $(head -n 3 "$probe.log")"
    fi
  elif command -v g++ > /dev/null; then
    compiler=g++
    sanitizers=address,undefined,float-cast-overflow
    extra="-Wno-maybe-uninitialized"
    sanitized_no_fuzz="clang++ is not installed"
  else
    sanitized_no_fuzz="no C++ compiler found"
    return 2
  fi
  # Bounds checks of std::vector and std::array indexing: an index past a
  # RouteRow's 10 slots stays inside the table's heap block, where
  # AddressSanitizer alone would not see it.
  flags="-fsanitize=$sanitizers -fno-sanitize-recover=all -fno-omit-frame-pointer -D_GLIBCXX_ASSERTIONS"
  sanitized_compiler=$compiler
  sanitized_flags=$flags
  if ! cmake -S "$root" -B "$sanitized_dir" -G Ninja -DZOLT_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_CXX_COMPILER="$compiler" -DCMAKE_CXX_FLAGS="$flags $extra" \
      -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=$sanitizers" -DZOLT_FUZZ="${sanitized_fuzz:-0}" \
      > "$sanitized_dir/configure.log" 2>&1; then
    cat "$sanitized_dir/configure.log"
    return 1
  fi
}
