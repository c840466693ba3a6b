# The rows run inside the virtual machine (busybox sh, as tests/vm/init
# starts it; tests/vm/run boots it). The units' control groups are built by
# hand where systemd puts them (system.slice/NAME.service, a templated unit
# in its own sub-slice), limits written where MemoryMax= and MemoryHigh=
# write them, and real programs started inside. Each check is run between
# two readings of the kernel's files: its figure must equal one of them or
# lie between them. Prints the transcript and one PASS or FAIL line per row;
# exits with the number of failed rows.
set -u
plugin=/build/release/check_trelmark
hog=/build/debug/tests/memhog_static
cg=/sys/fs/cgroup
failures=0

echo "uptime start $(cut -d' ' -f1 /proc/uptime)"
echo "kernel $(uname -r)"

pass() { echo "PASS vm $*"; }
fail() {
  echo "FAIL vm $*"
  failures=$((failures + 1))
}

# group PATH [MAX [HIGH]]: the group at PATH and its parents, each parent
# handing the memory controller down, and the limits written.
group() {
  dir=$cg
  for part in $(echo "${1#/}" | tr / ' '); do
    grep -qw memory "$dir/cgroup.subtree_control" || echo +memory >"$dir/cgroup.subtree_control"
    dir=$dir/$part
    mkdir -p "$dir"
  done
  [ -z "${2:-}" ] || echo "$2" >"$dir/memory.max"
  [ -z "${3:-}" ] || echo "$3" >"$dir/memory.high"
}

# start PATH MB: a program in the group PATH touching MB of memory, then
# idle; $pid is its id, empty when it did not get there (killed).
hogs=0
start() {
  hogs=$((hogs + 1))
  # The sleep stays in the shell's group and holds the program's stdin open.
  sleep 100000 | sh -c "echo \$\$ >$cg$1/cgroup.procs && exec $hog $2 touch" >/tmp/hog.$hogs 2>&1 &
  started=$!
  tries=0
  while [ ! -s /tmp/hog.$hogs ] && kill -0 $started 2>/dev/null && [ $tries -lt 600 ]; do
    sleep 0.1
    tries=$((tries + 1))
  done
  pid=$(head -n 1 /tmp/hog.$hogs)
  [ "$pid" = "$started" ] || pid=""
}

# check ARG...: runs the plugin; $out is its output, $status its exit status.
check() {
  out=$($plugin "$@")
  status=$?
  echo "\$ check_trelmark $*"
  echo "$out"
  echo "exit $status"
}

# perf LABEL [FIELD]: a field of the perfdata LABEL=value;warn;crit;min;max
# in $out (1, the default, is the value), without its unit.
perf() {
  echo "$out" | sed -n 's/^[^|]*| *//p' | tr ' ' '\n' | sed -n "s/^$1=//p" | cut -d';' -f"${2:-1}" | sed 's/B$//'
}

# between A X B: X lies between A and B, either way round.
between() {
  [ -n "$2" ] || return 1
  if [ "$1" -le "$3" ]; then [ "$1" -le "$2" ] && [ "$2" -le "$3" ]; else [ "$3" -le "$2" ] && [ "$2" -le "$1" ]; fi
}

# rss PATH: the working sets (VmRSS) of the group's processes, in bytes.
rss() {
  total=0
  for p in $(cat "$cg$1/cgroup.procs"); do
    kb=$(sed -n 's/^VmRSS:[[:space:]]*\([0-9]*\) kB$/\1/p' /proc/$p/status)
    total=$((total + ${kb:-0} * 1024))
  done
  echo $total
}

# workingset PATH: the group's working set as the kubelet computes it.
workingset() {
  current=$(cat "$cg$1/memory.current")
  inactive=$(sed -n 's/^inactive_file //p' "$cg$1/memory.stat")
  ws=$((current - inactive))
  [ $ws -ge 0 ] || ws=0
  echo $ws
}

# --- rows every build has: the selection of a unit's processes

group /system.slice/hog.service 256M
start /system.slice/hog.service 40
hog_main=$pid
start /system.slice/hog.service 8
if [ -n "$hog_main" ] && [ -n "$pid" ]; then
  before=$(rss /system.slice/hog.service)
  check --service hog.service -m working --sum
  after=$(rss /system.slice/hog.service)
  if [ $status -eq 0 ] && between "$before" "$(perf working)" "$after" && [ "$(perf processes)" = 2 ]; then
    pass "service-sum (--service hog.service --sum: $(perf working) bytes, the group's VmRSS $before..$after, 2 processes)"
  else
    fail "service-sum (figure $(perf working), VmRSS $before..$after, processes $(perf processes), exit $status)"
  fi
  check --cgroup /system.slice/hog.service --sum -w 30 -c 60
  if [ $status -eq 1 ] && between $((30 << 20)) "$(perf working)" $((60 << 20)); then
    pass "cgroup-sum-warning (--cgroup /system.slice/hog.service --sum -w 30 -c 60: WARNING at $(perf working) bytes)"
  else
    fail "cgroup-sum-warning (exit $status, figure $(perf working))"
  fi
else
  fail "service-sum (the programs did not start in system.slice/hog.service: $(cat /tmp/hog.1 /tmp/hog.2))"
fi

# A templated unit's instances sit in a sub-slice of their own.
group /system.slice/system-worker.slice/worker@1.service 128M
group /system.slice/system-worker.slice/worker@2.service 128M
start /system.slice/system-worker.slice/worker@1.service 12
start /system.slice/system-worker.slice/worker@2.service 20
before=$(rss /system.slice/system-worker.slice/worker@2.service)
check --service worker@2.service --sum
after=$(rss /system.slice/system-worker.slice/worker@2.service)
if [ $status -eq 0 ] && between "$before" "$(perf working)" "$after" && [ "$(perf processes)" = 1 ]; then
  pass "service-template (--service worker@2.service in system-worker.slice: $(perf working) bytes, VmRSS $before..$after)"
else
  fail "service-template (figure $(perf working), VmRSS $before..$after, processes $(perf processes), exit $status)"
fi

echo "uptime end $(cut -d' ' -f1 /proc/uptime)"
echo done
exit $failures
