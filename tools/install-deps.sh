#!/usr/bin/env bash
# Installs what building and testing need, when it is missing and we may:
# as root on Debian, with apt-get. Anything else is left to the caller, and
# the scripts that need a missing tool say so and skip it.
#   install-deps.sh            the Linux build and its tests
#   install-deps.sh windows    also the Windows cross compiler, Wine and unzip
set -euo pipefail

packages=(cmake ninja-build make g++ libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-14-dev
  iproute2 clang-format libcli11-dev nlohmann-json3-dev dpkg-dev file help2man lintian man-db libboost-dev
  chromium podman runc nodejs qstat strace)
if [ "${1:-}" = windows ]; then
  packages+=(g++-mingw-w64-x86-64 wine wine64 unzip)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
# Some builds of nodejs carry npm and conflict with Debian's own package.
command -v npm > /dev/null || missing+=(npm)
install_packages() {
  if [ "$(id -u)" != 0 ] || ! command -v apt-get > /dev/null; then
    echo "install-deps: missing ${missing[*]} (not root on Debian: install them yourself)" >&2
    exit 1
  fi
  echo "install-deps: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  if [ -z "${ZOLT_APT_UPDATED:-}" ]; then
    apt-get update -qq || true
    export ZOLT_APT_UPDATED=1
  fi
  # With their recommended packages, as the Windows stage was tried with them.
  apt-get install -y -qq "${missing[@]}" > /dev/null
}
[ ${#missing[@]} -eq 0 ] || install_packages

# The remote console's end-to-end case drives the server with an RCON client
# from the npm registry; tests/operator_e2e_test.cc reads it from here
# (ZOLT_NODE_MODULES, or the CMake cache's, names another place).
node_dir=${ZOLT_NODE_DIR:-/opt/zolt-test-node}
if [ ! -f "$node_dir/node_modules/rcon-client/package.json" ]; then
  if [ "$(id -u)" != 0 ] || ! command -v npm > /dev/null; then
    echo "install-deps: rcon-client missing in $node_dir (run as root with npm to install it)" >&2
    exit 1
  fi
  echo "install-deps: installing rcon-client into $node_dir"
  mkdir -p "$node_dir"
  npm install --prefix "$node_dir" --no-audit --no-fund --loglevel=error rcon-client@4.2.5 > /dev/null
fi

# The query's end-to-end cases ask the server as a server browser would,
# with the npm library gamedig (tests/query_e2e_test.cc reads it from here
# too) and Debian's qstat.
if [ ! -f "$node_dir/node_modules/gamedig/package.json" ]; then
  if [ "$(id -u)" != 0 ] || ! command -v npm > /dev/null; then
    echo "install-deps: gamedig missing in $node_dir (run as root with npm to install it)" >&2
    exit 1
  fi
  echo "install-deps: installing gamedig into $node_dir"
  mkdir -p "$node_dir"
  npm install --prefix "$node_dir" --no-audit --no-fund --loglevel=error gamedig@5.3.3 > /dev/null
fi
