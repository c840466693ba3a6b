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

# --- the group's own figures, read from its files rather than summed over
# its processes (-m cgroup, cgroup-workingset, cgroup-peak)

# state FIGURE WARN CRIT: the state plain ranges WARN and CRIT (in bytes) give.
state() {
  if [ "$1" -gt "$3" ]; then echo 2; elif [ "$1" -gt "$2" ]; then echo 1; else echo 0; fi
}

# share REFERENCE P: P% of REFERENCE bytes (P whole), written exactly as
# perfdata writes a bound: decimals only where it is not whole.
share() {
  whole=$(($1 * $2 / 100))
  rest=$(($1 * $2 % 100))
  if [ $rest -eq 0 ]; then echo $whole; else printf '%d.%02d\n' $whole $rest | sed 's/0$//'; fi
}

host=$(($(sed -n 's/^MemTotal: *\([0-9]*\) kB$/\1/p' /proc/meminfo) * 1024))

unit=/system.slice/db.service
group $unit 128M
start $unit 40
# File cache in the charge too, where the working set leaves it out:
# freshly read pages sit on the inactive list.
sh -c "echo \$\$ >$cg$unit/cgroup.procs && exec head -c $((32 << 20)) /build/vm/kernel/vmlinux" >/dev/null
echo "cached: $(grep -E '^(anon|file|inactive_file) ' $cg$unit/memory.stat | tr '\n' ' ')"
before=$(cat $cg$unit/memory.current)
check --service db.service -m cgroup
after=$(cat $cg$unit/memory.current)
if [ $status -eq 0 ] && between "$before" "$(perf cgroup)" "$after" && [ "$(perf cgroup 5)" = $((128 << 20)) ]; then
  pass "cgroup (--service db.service -m cgroup: $(perf cgroup) bytes, memory.current $before..$after, max $(perf cgroup 5))"
else
  fail "cgroup (figure $(perf cgroup), memory.current $before..$after, max $(perf cgroup 5), exit $status)"
fi

before=$(workingset $unit)
check --service db.service -m cgroup-workingset
after=$(workingset $unit)
if [ $status -eq 0 ] && between "$before" "$(perf cgroup-workingset)" "$after"; then
  pass "cgroup-workingset (--service db.service: $(perf cgroup-workingset) bytes, memory.current - inactive_file $before..$after)"
else
  fail "cgroup-workingset (figure $(perf cgroup-workingset), memory.current - inactive_file $before..$after, exit $status)"
fi

before=$(cat $cg$unit/memory.peak)
check --cgroup $unit -m cgroup-peak
after=$(cat $cg$unit/memory.peak)
if [ $status -eq 0 ] && between "$before" "$(perf cgroup-peak)" "$after"; then
  pass "cgroup-peak (--cgroup $unit: $(perf cgroup-peak) bytes, memory.peak $before..$after)"
else
  fail "cgroup-peak (figure $(perf cgroup-peak), memory.peak $before..$after, exit $status)"
fi

# A charge of about 84% of its limit, against thresholds on either side.
unit=/system.slice/pct.service
limit=$((48 << 20))
group $unit $limit
start $unit 40
for row in "80 95 1" "90 95 0" "70 80 2"; do
  set -- $row
  warn=$(share $limit $1)
  crit=$(share $limit $2)
  before=$(cat $cg$unit/memory.current)
  check --service pct.service -m cgroup -w $1% -c $2%
  after=$(cat $cg$unit/memory.current)
  kernel="memory.current $before..$after of memory.max $limit"
  # The kernel's figure against the bounds, in hundredths of a byte.
  bounds="$(($limit * $1)) $(($limit * $2))"
  if [ "$(state $((before * 100)) $bounds)" != $3 ] || [ "$(state $((after * 100)) $bounds)" != $3 ]; then
    fail "cgroup-percent -w $1% -c $2% (the row expects state $3, the kernel's figures give $(state $((before * 100)) $bounds)..$(state $((after * 100)) $bounds): $kernel)"
  elif [ $status -eq $3 ] && between "$before" "$(perf cgroup)" "$after" && [ "$(perf cgroup 2)" = $warn ] &&
       [ "$(perf cgroup 3)" = $crit ] && [ "$(perf cgroup 5)" = $limit ]; then
    pass "cgroup-percent -w $1% -c $2% (exit $status at $(perf cgroup) bytes, thresholds $warn;$crit of $limit; $kernel)"
  else
    fail "cgroup-percent -w $1% -c $2% (exit $status, expected $3; perfdata $(perf cgroup 1-5); $kernel)"
  fi
done

# No limit on the path: the host's memory is the reference, and named.
unit=/system.slice/free.service
group $unit
start $unit 10
before=$(cat $cg$unit/memory.current)
check --service free.service -m cgroup -w 80%
after=$(cat $cg$unit/memory.current)
if [ $status -eq 0 ] && between "$before" "$(perf cgroup)" "$after" && [ "$(perf cgroup 5)" = $host ] &&
   [ "$(perf cgroup 2)" = "$(share $host 80)" ] && echo "$out" | grep -q "host.*no limit set"; then
  pass "cgroup-no-limit (-w 80% of the host's $host bytes, named: $(perf cgroup 2))"
else
  fail "cgroup-no-limit (exit $status, perfdata $(perf cgroup 1-5), the host $host)"
fi

# A limit larger than the host: the host is the reference.
unit=/system.slice/big.service
group $unit 4G
start $unit 10
check --service big.service -m cgroup -w 80%
if [ $status -eq 0 ] && [ "$(perf cgroup 5)" = $host ] && [ "$(perf cgroup 2)" = "$(share $host 80)" ] &&
   echo "$out" | grep -q "host"; then
  pass "cgroup-limit-above-host (memory.max 4G, -w 80% of the host's $host bytes)"
else
  fail "cgroup-limit-above-host (exit $status, perfdata $(perf cgroup 1-5), the host $host)"
fi

# The limit of a slice above the unit applies to it.
group /limited.slice 100M
unit=/limited.slice/child.service
group $unit
start $unit 10
check --cgroup $unit -m cgroup -w 80%
if [ $status -eq 0 ] && [ "$(perf cgroup 5)" = $((100 << 20)) ] && [ "$(perf cgroup 2)" = $((80 << 20)) ]; then
  pass "cgroup-parent-limit (limited.slice's memory.max 100M for $unit: -w 80% is $(perf cgroup 2) bytes)"
else
  fail "cgroup-parent-limit (exit $status, perfdata $(perf cgroup 1-5))"
fi

# A slice's charge holds its units': read from the slice, not added up.
before=$(cat $cg/limited.slice/memory.current)
check --cgroup /limited.slice -m cgroup
after=$(cat $cg/limited.slice/memory.current)
if [ $status -eq 0 ] && between "$before" "$(perf cgroup)" "$after" && [ "$(perf cgroup 5)" = $((100 << 20)) ]; then
  pass "cgroup-slice (--cgroup /limited.slice: $(perf cgroup) bytes, memory.current $before..$after)"
else
  fail "cgroup-slice (figure $(perf cgroup), memory.current $before..$after, exit $status)"
fi

# A templated unit in its sub-slice: its own group's figure.
unit=/system.slice/system-worker.slice/worker@2.service
before=$(cat $cg$unit/memory.current)
check --service worker@2.service -m cgroup
after=$(cat $cg$unit/memory.current)
if [ $status -eq 0 ] && between "$before" "$(perf cgroup)" "$after" && [ "$(perf cgroup 5)" = $((128 << 20)) ]; then
  pass "cgroup-service-template (--service worker@2.service: $(perf cgroup) bytes, memory.current $before..$after)"
else
  fail "cgroup-service-template (figure $(perf cgroup), memory.current $before..$after, exit $status)"
fi

# The OOM killer: a program asking more than the limit is killed, its
# group keeps the peak. memory.high close to memory.max: with no swap
# the kernel otherwise throttles for a long time before it kills.
unit=/system.slice/oom.service
group $unit 64M 60M
start $unit 4
survivor=$pid
start $unit 100
killed=$(sed -n 's/^oom_kill //p' $cg$unit/memory.events)
before=$(cat $cg$unit/memory.peak)
check --service oom.service -m cgroup-peak -w 80% -c 95%
after=$(cat $cg$unit/memory.peak)
if [ -z "$pid" ] && [ -n "$survivor" ] && [ "$killed" = 1 ] && [ $status -eq 2 ] &&
   between "$before" "$(perf cgroup-peak)" "$after" && [ "$(perf cgroup-peak 5)" = $((64 << 20)) ]; then
  pass "cgroup-peak-oom (a 100 MB program killed in a 64 MB group: CRITICAL at $(perf cgroup-peak) bytes, memory.peak $before..$after)"
else
  fail "cgroup-peak-oom (oom_kill ${killed:-none}, exit $status, figure $(perf cgroup-peak), memory.peak $before..$after)"
fi

# The same group for Prometheus: its three figures and its limit from one
# pass over its files (v2: memory.current, memory.stat, memory.peak).
metric() { echo "$out" | sed -n "s/^$1{[^}]*} //p"; }
before=$(cat $cg$unit/memory.current)
check --service oom.service --format=prometheus
after=$(cat $cg$unit/memory.current)
inactive=$(sed -n 's/^inactive_file //p' $cg$unit/memory.stat)
if [ $status -eq 0 ] && between "$before" "$(metric trelmark_cgroup_bytes)" "$after" &&
   [ "$(metric trelmark_cgroup_peak_bytes)" = $((64 << 20)) ] && [ "$(metric trelmark_cgroup_limit_bytes)" = $((64 << 20)) ] &&
   [ "$(metric trelmark_cgroup_workingset_bytes)" -le "$(metric trelmark_cgroup_bytes)" ]; then
  pass "cgroup-prometheus (--service oom.service: charge $(metric trelmark_cgroup_bytes), working set $(metric trelmark_cgroup_workingset_bytes), peak $(metric trelmark_cgroup_peak_bytes), limit $(metric trelmark_cgroup_limit_bytes); memory.current $before..$after, inactive_file $inactive)"
else
  fail "cgroup-prometheus (exit $status: $(echo "$out" | grep '^trelmark_cgroup' | tr '\n' ' '))"
fi

# Where the kernel keeps no figure: the root group has no memory.current,
# a group whose parent does not hand the memory controller down has no
# memory files at all. UNKNOWN with the reason, never a parent's figure.
check --cgroup / -m cgroup
if [ ! -e $cg/memory.current ] && [ $status -eq 3 ] && [ -z "$(perf cgroup)" ] && echo "$out" | grep -q "^MEMORY UNKNOWN - ."; then
  pass "cgroup-root (the root group has no memory.current: $out)"
else
  fail "cgroup-root (exit $status: $out)"
fi
mkdir -p $cg/plain.slice/plain.service
start /plain.slice/plain.service 10
check --cgroup /plain.slice/plain.service -m cgroup
if [ ! -e $cg/plain.slice/plain.service/memory.current ] && [ -e $cg/plain.slice/memory.current ] &&
   [ $status -eq 3 ] && [ -z "$(perf cgroup)" ] && echo "$out" | grep -q "^MEMORY UNKNOWN - ."; then
  pass "cgroup-no-memory-group (plain.slice hands no memory controller down: $out)"
else
  fail "cgroup-no-memory-group (exit $status: $out)"
fi

# --- the per-process figures read from status: anon (RssAnon), swap (VmSwap)
for row in "anon RssAnon" "swap VmSwap"; do
  set -- $row
  before=$(($(sed -n "s/^$2:[[:space:]]*\([0-9]*\) kB$/\1/p" /proc/$hog_main/status) * 1024))
  check -p $hog_main -m $1 -w 80%
  after=$(($(sed -n "s/^$2:[[:space:]]*\([0-9]*\) kB$/\1/p" /proc/$hog_main/status) * 1024))
  if [ $status -eq 0 ] && between "$before" "$(perf $1)" "$after" && [ "$(perf $1 5)" = $host ]; then
    pass "$1 (-p $hog_main -m $1: $(perf $1) bytes, $2 $before..$after; -w 80% of the host's $host bytes)"
  else
    fail "$1 (figure $(perf $1), $2 $before..$after, max $(perf $1 5), exit $status)"
  fi
done

echo "uptime end $(cut -d' ' -f1 /proc/uptime)"
echo done
exit $failures
