#!/usr/bin/env bash
# The container stage of tools/test.sh: builds the static programs in
# build-container/ and the image of the Containerfile with podman, checks
# what the image holds and its size, runs a match in a container (played by
# zolt-client, probed on /healthz and /readyz, its exit code and log read),
# stops one with SIGTERM mid-match, kills one with SIGKILL and starts it
# again to go on with its match, then runs deploy/kubernetes/match.yaml
# with podman kube play, plays a match against it and ends it with podman
# kube down. Needs root, podman and runc (tools/install-deps.sh installs
# them); without them it says that it skipped.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
dir="$root/build-container"
manifest=deploy/kubernetes/match.yaml

say() { echo "test-container: $*"; }
passed=0
failed=0
skipped=0
record() {
  [ -n "${ZOLT_RESULTS:-}" ] && echo "container $passed $failed $skipped" >> "$ZOLT_RESULTS"
  return 0
}
source tools/check-steps.sh

bash tools/install-deps.sh || true
lacking=""
for tool in cmake podman runc; do
  command -v "$tool" > /dev/null || lacking+="$tool "
done
[ "$(id -u)" = 0 ] || lacking+="root "
if [ -n "$lacking" ]; then
  say "skipped: ${lacking}missing (Debian packages podman and runc; running containers here" \
    "needs root)"
  exit 0
fi

work=$(mktemp -d)
# This machine's podman: runc (crun refuses its cgroups) and limits of the
# containers' own (taking the host's fails).
cat > "$work/containers.conf" << 'EOF'
[containers]
default_ulimits = ["nofile=1024:1024", "nproc=1024:1024"]
[engine]
runtime = "runc"
EOF
export CONTAINERS_CONF="$work/containers.conf"
client="$dir/client/zolt-client"
image=""
cleanup() {
  podman rm -f -t 0 zolt-test-match zolt-test-stop zolt-test-resume > /dev/null 2>&1 || true
  podman kube down "$manifest" > /dev/null 2>&1 || true
  [ -f "$work/match-2.yaml" ] && podman kube down "$work/match-2.yaml" > /dev/null 2>&1 || true
  # podman kube down leaves the volumes: the claims' and the ConfigMaps'.
  podman volume rm -f zolt-match-{1,2}-recordings zolt-match-{1,2} > /dev/null 2>&1 || true
  [ -n "$image" ] && podman rmi -f "$image" > /dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT

# wait_status PORT PATH CODE: until the view on 127.0.0.1:PORT answers CODE,
# 20 s at most.
wait_status() {
  local i line
  for ((i = 0; i < 200; i++)); do
    if exec 3<> "/dev/tcp/127.0.0.1/$1"; then
      printf 'GET %s HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n' "$2" >&3
      read -r -t 10 line <&3 || true
      exec 3>&-
      [[ "$line" == "HTTP/1.1 $3 "* ]] && return 0
    fi 2> /dev/null
    sleep 0.1
  done
  echo "http://127.0.0.1:$1$2 does not answer $3"
  return 1
}
# table_row OUTPUT PLAYER: "x y" of that player in zolt-client's last table.
table_row() { awk -v p="$2" '$1 == p && NF == 5 { print $2, $3 }' <<< "$1"; }
# Whether the container's process runs as the image's user, on the host too.
runs_as_non_root() { [ "$(podman top "$1" huser | tail -n +2)" = 10001 ]; }

build_image() {
  local generator=() version
  [ ! -f "$dir/CMakeCache.txt" ] && command -v ninja > /dev/null && generator=(-G Ninja)
  mkdir -p "$dir"
  cmake -S . -B "$dir" "${generator[@]}" -DZOLT_STATIC=ON -DZOLT_BUILD_TESTS=OFF -DZOLT_WERROR=ON \
    -DCMAKE_BUILD_TYPE=MinSizeRel -DCMAKE_EXE_LINKER_FLAGS=-s > "$dir/configure.log" 2>&1 ||
    { cat "$dir/configure.log"; return 1; }
  cmake --build "$dir" -j2 > "$dir/build.log" 2>&1 || { cat "$dir/build.log"; return 1; }
  file "$dir/zolt-server" "$dir/client/zolt-client" | grep -c 'statically linked' | grep -qx 2 ||
    { file "$dir/zolt-server" "$dir/client/zolt-client"; return 1; }
  version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$dir/CMakeCache.txt")
  image=localhost/zolt-server:$version
  podman build -q -t "$image" -f Containerfile . &&
    # The manifest names the image of this version.
    grep -q "image: $image\$" "$manifest"
}
check "the static programs and the image build, and the manifest names the image" build_image
if ! podman image exists "${image:-none}"; then
  record
  exit 1
fi

# Under 10 MB, and the two programs and the sample maps only, for a user
# not root.
image_contents() {
  local size ctr listing
  size=$(podman image inspect --format '{{.Size}}' "$image")
  ctr=$(podman create "$image")
  listing=$(podman export "$ctr" | tar -t | grep -v '/$' | sort)
  podman rm "$ctr" > /dev/null
  say "image size: $size bytes"
  echo "$listing"
  [ "$size" -lt 10000000 ] &&
    [ "$(podman image inspect --format '{{.Config.User}}' "$image")" = 10001:10001 ] &&
    [ "$listing" = "$(printf '%s\n' usr/bin/zolt-client usr/bin/zolt-server \
      usr/share/zolt-server/maps/{bot,dept0,dept1,dept2,dept3,dept4}.txt)" ]
}
check "the image is under 10 MB: the two programs and the sample maps, for a user not root" \
  image_contents

mkdir -p "$work/data"
chown 10001:10001 "$work/data"

# A match in a container, with options; the server finds its maps in the
# image's data folder, whatever its working directory.
container_match() {
  local out code log
  podman run -d --name zolt-test-match --network host -v "$work/data:/data" "$image" \
    --humans 1 --bots 1 --map 0 --port 2101 --http 127.0.0.1:8101 --record /data/match.jsonl \
    > /dev/null &&
    wait_status 8101 /healthz 200 && wait_status 8101 /readyz 200 &&
    runs_as_non_root zolt-test-match || return 1
  out=$(timeout 60 "$client" --clients 1 --turns 20 --port 2101) || { echo "$out"; return 1; }
  code=$(podman wait zolt-test-match)
  log=$(podman logs zolt-test-match 2>&1)
  podman rm zolt-test-match > /dev/null
  echo "$out" | tail -3
  echo "$log" | grep -E 'INFO|WARN|ERROR'
  # The clients leave after 20 turns: exit code 1. Player 0 starts where
  # dept0.txt says (x 100), and the bot walks bot.txt's route.
  [ "$code" = 1 ] && [ "$(table_row "$out" 0 | cut -d' ' -f1)" = 100 ] &&
    [ "$(table_row "$out" 1)" != "0 0" ] &&
    grep -q "INFO start position file of map 0 '/usr/share/zolt-server/maps/dept0.txt'" <<< "$log" &&
    grep -q "INFO match over after 20 turns" <<< "$log" &&
    # A line per turn, then the end record.
    [ "$(wc -l < "$work/data/match.jsonl")" = 21 ] &&
    tail -n 1 "$work/data/match.jsonl" | grep -q '^{"end": '
}
check "a match plays in a container: probes, exit code 1 once the client leaves, the log" \
  container_match

# SIGTERM mid-match (podman stop), the options from a mounted config file.
stop_cleanly() {
  local client_pid code out err last i
  cat > "$work/match.ini" << 'EOF'
humans = 1
bots = 1
map = 0
port = 2102
http = 127.0.0.1:8102
record = /data/stop.jsonl
EOF
  podman run -d --name zolt-test-stop --network host -v "$work/data:/data" \
    -v "$work/match.ini:/etc/zolt-server/match.ini:ro" "$image" > /dev/null &&
    wait_status 8102 /readyz 200 || return 1
  timeout 120 "$client" --clients 1 --turns 100000000 --port 2102 > /dev/null 2>&1 &
  client_pid=$!
  # Full: nobody can join a match under way.
  wait_status 8102 /readyz 503 || { kill "$client_pid"; return 1; }
  for ((i = 0; i < 300; i++)); do
    [ "$(cat "$work/data/stop.jsonl" 2> /dev/null | wc -l)" -ge 50 ] && break
    sleep 0.1
  done
  podman stop -t 10 zolt-test-stop > /dev/null
  code=$(podman wait zolt-test-stop)
  out=$(podman logs zolt-test-stop 2> /dev/null)
  err=$(podman logs zolt-test-stop 2>&1 > /dev/null)
  podman rm zolt-test-stop > /dev/null
  wait "$client_pid" || true
  last=$(tail -c 3 "$work/data/stop.jsonl" | od -An -c | tr -d ' ')
  echo "$err" | grep -E 'INFO|WARN|ERROR' | tail -3
  echo "exit code $code; the recording ends in: $last"
  [ "$code" = 0 ] && grep -q 'LA PARTIE EST TERMINEE' <<< "$out" &&
    grep -q 'INFO match stopped by SIGTERM after [0-9]* turns' <<< "$err" && [ "$last" = '}}\n' ] &&
    tail -n 1 "$work/data/stop.jsonl" | grep -q '^{"end": {"reason": "stopped"'
}
check "podman stop ends a match cleanly: end banner, exit code 0, the recording's last line whole" \
  stop_cleanly

# SIGKILL mid-match (podman kill), the match recorded on a volume: the
# container started again goes on with it, and a client that joins again is
# sent the next turn.
resume_after_kill() {
  local client_pid turns out code err next i
  cat > "$work/resume.ini" << 'EOF'
humans = 1
bots = 1
map = 0
port = 2103
http = 127.0.0.1:8103
record = /data/resume.jsonl
resume = true
EOF
  podman run -d --name zolt-test-resume --network host -v "$work/data:/data" \
    -v "$work/resume.ini:/etc/zolt-server/match.ini:ro" "$image" > /dev/null &&
    wait_status 8103 /readyz 200 || return 1
  timeout 120 "$client" --clients 1 --turns 100000000 --port 2103 > /dev/null 2>&1 &
  client_pid=$!
  for ((i = 0; i < 300; i++)); do
    [ "$(cat "$work/data/resume.jsonl" 2> /dev/null | wc -l)" -ge 30 ] && break
    sleep 0.1
  done
  podman kill -s KILL zolt-test-resume > /dev/null
  podman wait zolt-test-resume > /dev/null
  wait "$client_pid" || true
  turns=$(grep -c '^{"turn": ' "$work/data/resume.jsonl")
  podman start zolt-test-resume > /dev/null && wait_status 8103 /readyz 200 || return 1
  out=$(timeout 60 "$client" --clients 1 --turns 5 --port 2103) || { echo "$out"; return 1; }
  code=$(podman wait zolt-test-resume)
  err=$(podman logs zolt-test-resume 2>&1 > /dev/null)
  podman rm zolt-test-resume > /dev/null
  next=$(grep -A1 '^{"restart": ' "$work/data/resume.jsonl" | sed -n 's/^{"turn": \([0-9]*\),.*/\1/p')
  echo "$err" | grep -E 'INFO (--resume|match)' | tail -3
  echo "killed after $turns turns; the turn after the restart mark: $next; exit code $code"
  [ "$code" = 1 ] && grep -q "INFO match resumed after turn $turns:" <<< "$err" &&
    [ "$next" = $((turns + 1)) ] && tail -n 1 "$work/data/resume.jsonl" | grep -q '^{"end": '
}
check "podman kill -s KILL mid-match: the container started again goes on with the match" \
  resume_after_kill

# A second match beside the manifest's, a copy of it on ports 2010 and 8090
# (as docs/operating.md makes a fleet), and the fleet's list of
# docs/operating.md run over both, with a kubectl that answers its query
# over endpoints as the cluster's would give them, the copy's not ready;
# then the copy ends.
fleet_of_two() {
  local pod script out
  sed -e 's/zolt-match-1/zolt-match-2/g' -e 's/match: "1"/match: "2"/' -e 's/\b2000\b/2010/g' \
    -e 's/\b8080\b/8090/g' "$manifest" > "$work/match-2.yaml"
  # What a killed run may have left.
  podman kube down "$work/match-2.yaml" > /dev/null 2>&1 || true
  podman volume rm -f zolt-match-2-recordings zolt-match-2 > /dev/null 2>&1 || true
  pod=$(podman kube play "$work/match-2.yaml" | sed -n '/^Pod:$/{n;p}') && [ -n "$pod" ] &&
    wait_status 8090 /readyz 200 || return 1
  mkdir -p "$work/bin"
  # A kubectl that answers the script's jsonpath over the Endpoints a
  # cluster would have: match 1 ready, match 2 full (its Pod out of the
  # Service, not ready), match 3 with no Pod yet. It knows what the script
  # uses: range, fields, [N], [*] and [?(@.field=="text")].
  cat > "$work/bin/kubectl" << 'EOF'
#!/usr/bin/env python3
import re, sys
args = sys.argv[1:]
if args[:5] != ["get", "endpoints", "-l", "app=zolt-server", "-o"] or len(args) != 6 or \
        not args[5].startswith("jsonpath="):
    sys.exit("kubectl (stand-in): not the fleet's query: " + " ".join(args))
def ports(port):
    return [{"name": "game", "port": port, "protocol": "TCP"},
            {"name": "query", "port": port, "protocol": "UDP"},
            {"name": "view", "port": port + 6080, "protocol": "TCP"}]
listed = {"kind": "List", "items": [
    {"metadata": {"name": "zolt-match-1"},
     "subsets": [{"addresses": [{"ip": "127.0.0.1"}], "ports": ports(2000)}]},
    {"metadata": {"name": "zolt-match-2"},
     "subsets": [{"notReadyAddresses": [{"ip": "127.0.0.1"}], "ports": ports(2010)}]},
    {"metadata": {"name": "zolt-match-3"}}]}
STEP = r'\.(\w+)(\[(?:\*|\d+|\?\(@\.\w+=="[^"]*"\))\])?'
def values(path, node):
    if not re.fullmatch("(?:" + STEP + ")+", path):
        sys.exit("kubectl (stand-in): cannot read " + path)
    nodes = [node]
    for name, pick in re.findall(STEP, path):
        found = [n[name] for n in nodes if isinstance(n, dict) and name in n]
        if pick == "[*]":
            found = [v for each in found for v in each]
        elif pick.startswith("[?"):
            field, text = re.fullmatch(r'\[\?\(@\.(\w+)=="([^"]*)"\)\]', pick).groups()
            found = [v for each in found for v in each if v.get(field) == text]
        elif pick:
            found = [each[int(pick[1:-1])] for each in found if len(each) > int(pick[1:-1])]
        nodes = found
    return nodes
def run(parts, i, node, out):
    while i < len(parts) and parts[i] != "{end}":
        part = parts[i]
        if part.startswith("{range "):
            items = values(part[7:-1], node)
            end = run(parts, i + 1, None, [])
            for item in items:
                run(parts, i + 1, item, out)
            i = end
            continue
        if part.startswith("{"):
            out.append(" ".join(str(v) for v in values(part[1:-1], node)) if node is not None else "")
        else:
            out.append(part)
        i += 1
    return i + 1
out = []
run([p for p in re.split(r"(\{[^}]*\})", args[5][len("jsonpath="):]) if p], 0, listed, out)
print("".join(out), end="")
EOF
  chmod +x "$work/bin/kubectl"
  script=$(awk '/^    #!\/bin\/sh$/ { on = 1 } on { print substr($0, 5) } on && /^    done$/ { exit }' \
    docs/operating.md)
  out=$(PATH="$work/bin:$PATH" sh -c "$script") && echo "$out" || return 1
  podman pod stop "$pod" > /dev/null 2>&1
  podman kube down "$work/match-2.yaml" > /dev/null 2> "$work/kube-down.err" ||
    { cat "$work/kube-down.err"; return 1; }
  podman volume rm -f zolt-match-2-recordings zolt-match-2 > /dev/null
  # One line per match, each with its name, map, seats and no player yet.
  [ "$(grep -c '^A2S,' <<< "$out")" = 2 ] &&
    grep -q '^A2S,127.0.0.1:2000,ZOLT 1.5 on .*,Torvallind level 0,2,0,' <<< "$out" &&
    grep -q '^A2S,127.0.0.1:2010,ZOLT 1.5 on .*,Torvallind level 0,2,0,' <<< "$out"
}

# The manifest as a cluster would run it: the ConfigMap's config file, the
# game port 2000 and the view 8080 published by podman as a Service would.
# Debian's podman (4.3) kills a pod's containers at once in kube down, so
# the pod is stopped first, as a cluster deleting it does: SIGTERM, then
# the grace period.
kube_match() {
  local pod ctr out code log i recordings
  podman volume rm -f zolt-match-1-recordings > /dev/null 2>&1 || true
  pod=$(podman kube play "$manifest" | sed -n '/^Pod:$/{n;p}') && [ -n "$pod" ] || return 1
  ctr=$(podman ps --filter "ancestor=$image" --format '{{.Names}}')
  echo "container: $ctr"
  wait_status 8080 /healthz 200 && wait_status 8080 /readyz 200 && runs_as_non_root "$ctr" ||
    return 1
  # The fleet's list of docs/operating.md, for this one match: the server
  # query on UDP 2000 beside the game's TCP 2000, with qstat (its raw line:
  # name, map, seats, players) and gamedig.
  out=$(quakestat -a2s 127.0.0.1:2000 -R -raw , -nh) && echo "$out" &&
    grep -q '^A2S,127.0.0.1:2000,ZOLT 1.5 on .*,Torvallind level 0,2,0,' <<< "$out" &&
    grep -q 'seat_free=1' <<< "$out" || return 1
  node_dir=${ZOLT_NODE_DIR:-/opt/zolt-test-node}
  out=$(NODE_PATH=$node_dir/node_modules npx --prefix "$node_dir" gamedig \
    --type protocol-valve --requestRules --givenPortOnly 127.0.0.1:2000) && echo "$out" &&
    grep -q '"map":"Torvallind level 0"' <<< "$out" || return 1
  fleet_of_two || return 1
  # The config serves every client at once: the client plays its two
  # players at once too.
  out=$(timeout 60 "$client" --clients 2 --turns 20 --at-once --port 2000) ||
    { echo "$out"; return 1; }
  echo "$out" | tail -4
  # The match is over and the Deployment's Pod starts the next one.
  for ((i = 0; i < 100; i++)); do
    [ "$(podman inspect --format '{{.RestartCount}}' "$ctr")" = 1 ] && break
    sleep 0.1
  done
  wait_status 8080 /readyz 200 || return 1
  podman pod stop "$pod" > /dev/null 2>&1
  code=$(podman inspect --format '{{.State.ExitCode}}' "$ctr")
  log=$(podman logs "$ctr" 2>&1)
  recordings=$(podman volume inspect --format '{{.Mountpoint}}' zolt-match-1-recordings)
  podman kube down "$manifest" > /dev/null 2> "$work/kube-down.err" ||
    { cat "$work/kube-down.err"; return 1; }
  # The first match's recording on the claim's volume, whole to its end.
  ls -l "$recordings"
  tail -n 1 "$recordings/match.jsonl" | grep -q '^{"end": ' || return 1
  echo "$log" | grep -E 'INFO match|TERMINEE'
  echo "exit code $code"
  [ "$(table_row "$out" 0 | cut -d' ' -f1)" = 100 ] &&
    grep -q "INFO match over after 20 turns" <<< "$log" &&
    grep -q 'INFO match stopped by SIGTERM after 0 turns' <<< "$log" &&
    grep -q 'LA PARTIE EST TERMINEE' <<< "$log" && [ "$code" = 0 ] &&
    [ -z "$(podman ps -a -q --filter "ancestor=$image")" ]
}
check "the Kubernetes manifest: kube play, a match, the probes, a fleet of two listed, a clean end" \
  kube_match

record
[ "$failed" = 0 ]
