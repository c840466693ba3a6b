# Sourced by run. Each row of the scenario table as each route runs it: fills
# direct, nrpe_commands, nagios_services, icinga_services, the suite's NRPE
# commands and build/engines/scenarios.tsv.

icinga_vars() {  # options...: sets vars_ to the trelmark CheckCommand's variables for these plugin options
  local var
  vars_=""
  while [ $# -gt 0 ]; do
    case $1 in
      --sum) vars_+="|vars.trelmark_sum = true"; shift; continue ;;
      --children) vars_+="|vars.trelmark_children = true"; shift; continue ;;
      --processes-warning) var=processes_warning ;;
      --processes-critical) var=processes_critical ;;
      -m) var=metric ;;
      -a) var=argument ;;
      --ereg-argument-array) var=argument_regex ;;
      -u) var=user ;;
      --empty-state) var=empty_state ;;
      *) fail "tests/engines/scenarios: no Icinga 2 variable for $1"; exit 1 ;;
    esac
    vars_+="|vars.trelmark_$var = \"$2\""
    shift 2
  done
}
host=trelmark-engines      # the host the engines watch, and Icinga 2's master
agent=trelmark-engines-agent   # the Icinga 2 agent's endpoint, zone and host
nagios_services=()   # "service check_command"
icinga_services=()   # "service" followed by its attribute lines, joined by |
nrpe_commands=()     # command names: the suite's, then the shipped ones
direct=()            # "name command line for sh"
nrpe_suite=$eng/nrpe/suite.cfg
: >"$nrpe_suite"
: >"$eng/scenarios.tsv"   # name, program, origin, expected exit (- for any), figures
# The proportional figure divides each shared page among all the processes
# that map it, and a page is unique while one process maps it: counts that
# change as the engines start their checks. Such rows are compared by state,
# status word and perfdata labels.

quote() { printf "'%s'" "$1"; }

while read -r program name a b c d e f; do
  if [ -z "$cgroup" ] && [[ "$a $b $c $d $e $f" =~ \{(unit|stopped|cgroup)\} ]]; then
    echo "SKIPPED engines $name ($no_cgroup)"
    continue
  fi
  if [ -z "$memgroup" ] && [[ "$a $b $c $d $e $f" =~ \{memgroup\} ]]; then
    echo "SKIPPED engines $name ($no_memgroup)"
    continue
  fi
  if [ "$(id -u)" -ne 0 ] && [[ "$a $b $c $d $e $f" =~ \{(rootonly|twin)\} ]]; then
    echo "SKIPPED engines $name (a process of root's is started as root only)"
    continue
  fi
  for v in a b c d e f; do
    s=${!v}
    s=${s//\{big\}/$big}; s=${s//\{reserved\}/$reserved}; s=${s//\{dead\}/$dead}
    s=${s//\{single\}/$single}; s=${s//\{pair\}/$pair}; s=${s//\{nomatch\}/$nomatch}
    s=${s//\{twin\}/$twin}; s=${s//\{argument\}/$argument}; s=${s//\{stopped\}/$stopped}
    s=${s//\{unit\}/$unit}; s=${s//\{cgroup\}/$cgroup}; s=${s//\{owner\}/$owner}; s=${s//\{rootonly\}/$rootonly}
    s=${s//\{memgroup\}/$memgroup}
    printf -v "$v" '%s' "${s//\{pids\}/$eng/pids}"
  done
  case $program in
    check_trelmark)
      kind=$a sel=$b warn=$c crit=$d extra=${e//_/ } expected=$f
      case $kind in pid) opt=-p ;; pidfile) opt=-f ;; command) opt=-C ;; service) opt=--service ;; cgroup) opt=--cgroup ;; argument) opt=-a ;; esac
      [ "$extra" = - ] && extra=""
      line="/usr/lib/nagios/plugins/check_trelmark $opt $(quote "$sel") -w $(quote "$warn") -c $(quote "$crit") $extra"
      nagios_services+=("nd-$name check_trelmark_$kind!$sel!$warn!$crit!$extra")
      vars="vars.trelmark_$kind = \"$sel\"|vars.trelmark_warning = \"$warn\"|vars.trelmark_critical = \"$crit\""
      read -r -a opts <<<"$extra"
      icinga_vars "${opts[@]}"
      vars+=$vars_
      icinga_services+=("id-$name|check_command = \"trelmark\"|$vars"
        "ia-$name|check_command = \"trelmark\"|$vars|host_name = \"$agent\"|command_endpoint = \"$agent\"")
      origin=suite ;;
    Trelmark64)
      pid=$a size=$b extra=$c verbose=$d expected=$e
      [ "$extra" = - ] && extra=""
      line="Trelmark64 $pid $size $extra"
      [ "$verbose" = 1 ] && line+=" -v"
      if [ "$verbose" = 1 ]; then
        nagios_services+=("nd-$name check_trelmark64!$pid!$size!$extra")
      else
        nagios_services+=("nd-$name suite_trelmark64_quiet!$pid!$size!$extra")
      fi
      vars="vars.trelmark64_pid = $pid|vars.trelmark64_size = $size"
      [ -n "$extra" ] && vars+="|vars.trelmark64_virtual = true"
      [ "$verbose" = 0 ] && vars+="|vars.trelmark64_verbose = false"
      icinga_services+=("id-$name|check_command = \"trelmark64\"|$vars"
        "ia-$name|check_command = \"trelmark64\"|$vars|host_name = \"$agent\"|command_endpoint = \"$agent\"")
      origin=suite ;;
    shipped)
      line=$(sed -n "s/^command\[$name\]=//p" contrib/nrpe/trelmark.cfg)
      [ -n "$line" ] || { fail "contrib/nrpe/trelmark.cfg has no command $name"; exit 1; }
      case $name in check_trelmark64) program=Trelmark64 ;; *) program=check_trelmark ;; esac
      expected=- origin=shipped ;;
    *) fail "tests/engines/scenarios: no such program '$program'"; exit 1 ;;
  esac
  direct+=("$name $line")
  nrpe_commands+=("$name")
  [ "$origin" = shipped ] || echo "command[$name]=$line" >>"$nrpe_suite"
  figures=exact
  [[ " $line " =~ " -m "(pss|uss)" " ]] && [ "$expected" != 3 ] && figures=moving
  printf '%s\t%s\t%s\t%s\t%s\n' "$name" "$program" "$origin" "$expected" "$figures" >>"$eng/scenarios.tsv"
done < <(grep -Ev '^[[:space:]]*(#|$)' "$here/scenarios")
for name in "${nrpe_commands[@]}"; do
  nagios_services+=("nn-$name suite_check_nrpe!$name")
  icinga_services+=("in-$name|check_command = \"nrpe\"|vars.nrpe_address = \"127.0.0.1\"|vars.nrpe_port = $nrpe_port|vars.nrpe_command = \"$name\"")
done
