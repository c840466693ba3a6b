# Sourced by run. The processes the scenarios check: memhog copies under the
# suite's names, a unit's control group, the pid files. Sets big, reserved,
# dead, the names, argument, unit, stopped, cgroup (empty where none) and
# no_cgroup, memgroup (empty where none) and no_memgroup.

tag=$$
single=tmk${tag}s      # one process
pair=tmk${tag}p        # two processes of one name
nomatch=tmk${tag}x     # no process
inunit=tmk${tag}u      # the two processes of the unit below
rootonly=tmk${tag}r    # one process of root's, as root only
twin=tmk${tag}t        # two processes that only their arguments and owners tell apart
argument=app=tmk${tag}a   # the argument of the engines' user's twin
for name in "$single" "$pair" "$inunit" "$rootonly" "$twin"; do install -m 755 build/debug/tests/memhog "$bin/$name"; done

# The memhogs run as the engines' user, as a service watched by an agent of
# its own user would: the proportional and unique figures of another user's
# process need a privilege the agent does not have (the root-only row shows).
owner=$user
hog() {  # name MB touch|reserve [root|-] [label|-] [cgroup.procs]: starts a memhog copy, as the engines' user unless
         # root, in that control group from its first page when given; sets hog_pid
  local n=${#hogpids[@]} fd as=() join=() label=${5:-}
  [ "$(id -u)" -ne 0 ] || [ "${4:-}" = root ] || as=(setpriv --reuid="$user" --regid="$group" --init-groups)
  [ "$label" = - ] && label=""
  # shellcheck disable=SC2016 # expanded by that shell
  [ -n "${6:-}" ] && join=(sh -c 'echo $$ >"$0" && exec "$@"' "$6")
  mkfifo "$eng/hogs/$n.in"
  "${as[@]}" "${join[@]}" "$bin/$1" "$2" "$3" ${label:+"$label"} <"$eng/hogs/$n.in" >"$eng/hogs/$n.out" &
  hogpids+=($!)
  exec {fd}>"$eng/hogs/$n.in"
  hogfds+=("$fd")
  wait_for 30 "memhog $1" grep -q . "$eng/hogs/$n.out" || exit 1
  hog_pid=$(head -n 1 "$eng/hogs/$n.out")
  [ "$hog_pid" = "$!" ] || { fail "memhog reported pid $hog_pid, started $!"; exit 1; }
}
hog "$single" 48 touch; big=$hog_pid
hog "$pair" 48 touch
hog "$pair" 24 touch
hog "$single" 64 reserve; reserved=$hog_pid
hog "$twin" 40 touch - "$argument"
# A check that runs beside the scenarios, as an agent runs checks side by
# side: its shell's command line holds the -a rows' texts, its child is a
# check_trelmark (a memhog under that name) that waits. Neither is selected.
sibling() {
  local fd as=()
  [ "$(id -u)" -ne 0 ] || as=(setpriv --reuid="$user" --regid="$group" --init-groups)
  mkdir "$eng/sibling" && install -m 755 build/debug/tests/memhog "$eng/sibling/check_trelmark"
  mkfifo "$eng/hogs/sibling.in"
  "${as[@]}" sh -c "'$eng/sibling/check_trelmark' 0 touch; : -a $argument -a $nomatch" \
    <"$eng/hogs/sibling.in" >"$eng/hogs/sibling.out" &
  hogpids+=($!)
  exec {fd}>"$eng/hogs/sibling.in"
  hogfds+=("$fd")
  wait_for 30 "the sibling check" grep -q . "$eng/hogs/sibling.out" || exit 1
}
sibling
(exit 0) & dead=$!; wait $dead

# A unit's control group, stood up by hand where systemd would (no systemd
# here): a service in a slice, one process in it and one in a sub-group;
# beside it a stopped one, whose group systemd keeps while it holds nothing.
# Only root can, and only where the cgroup2 file system may be written; the
# rows that need it are skipped elsewhere, saying why.
unit=trelmark-engines-$tag              # --service adds .service
stopped=$unit-stopped
cgroup=""                               # as /proc/PID/cgroup writes it
no_cgroup="a unit's control group is stood up as root only"
mount=$(awk '{ for (i = 7; i < NF; i++) if ($i == "-") { if ($(i + 1) == "cgroup2" && $4 == "/") print $5; break } }' \
  /proc/self/mountinfo | head -n 1)     # hybrid hosts: .../unified
[ -n "$mount" ] || no_cgroup="no cgroup2 file system is mounted"
if [ "$(id -u)" -eq 0 ] && [ -n "$mount" ]; then
  unit_up() {
    local dir service=$mount/$unit.slice/$unit.service
    for dir in "$mount/$unit.slice" "$service" "$service/worker" "$mount/$unit.slice/$stopped.service"; do
      mkdir "$dir" 2>"$eng/cgroup.err" || return 1
      cgroups+=("$dir")
    done
    hog "$inunit" 32 touch; echo "$hog_pid" 2>"$eng/cgroup.err" >"$service/cgroup.procs" || return 1
    hog "$inunit" 16 touch; echo "$hog_pid" 2>"$eng/cgroup.err" >"$service/worker/cgroup.procs"
  }
  if unit_up; then
    cgroup=/$unit.slice/$unit.service
  else
    no_cgroup="the control group could not be stood up: $(head -n 1 "$eng/cgroup.err")"
  fi
fi
# A group of the memory controller's v1 hierarchy, made below the suite's own
# memory group (never at the root), with a limit of 64 MB and a program of 48
# MB inside: the group figures and shares of its limit. v2 hosts: the v2
# harness runs those.
memgroup=""                             # as /proc/PID/cgroup's memory: line writes it
no_memgroup="a memory control group is made as root only"
own=$(sed -n 's/^[0-9]*:memory:\(.*\)$/\1/p' /proc/self/cgroup)
own=${own%/}
if [ -z "$own$(sed -n '/^[0-9]*:memory:/p' /proc/self/cgroup)" ] || [ ! -f "/sys/fs/cgroup/memory$own/memory.usage_in_bytes" ]; then
  no_memgroup="the memory controller is not cgroup v1 here"
elif [ "$(id -u)" -eq 0 ]; then
  dir=/sys/fs/cgroup/memory$own/trelmark-engines-$tag
  if mkdir "$dir" 2>"$eng/cgroup.err"; then
    cgroups+=("$dir")
    if echo 64M 2>"$eng/cgroup.err" >"$dir/memory.limit_in_bytes"; then
      hog "$inunit" 48 touch root - "$dir/cgroup.procs"
      memgroup=$own/trelmark-engines-$tag
    fi
  fi
  [ -n "$memgroup" ] || no_memgroup="the memory control group could not be made: $(head -n 1 "$eng/cgroup.err")"
fi
if [ "$(id -u)" -eq 0 ]; then
  hog "$rootonly" 8 touch root
  hog "$twin" 20 touch root "app=tmk${tag}b"
fi
printf '%s\n' "$big" >"$eng/pids/big.pid"
printf '%s\n' "$dead" >"$eng/pids/dead.pid"
chmod 755 "$eng/pids"; chmod 644 "$eng/pids/"*.pid
