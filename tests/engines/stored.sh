# Sourced by run. What each route stored, once every check is forced and in:
# build/engines/observed.tsv, one line per route and scenario: route,
# scenario, state, status text, long output, perfdata (the Icinga 2 routes
# also where the check ran); texts escaped as Nagios and jq's @tsv keep them
# (\\, \n, \t, \r).

observed=$eng/observed.tsv
esc() { perl -0777 -pe 's/\\/\\\\/g; s/\n/\\n/g; s/\t/\\t/g; s/\r/\\r/g'; }

# NRPE asked by check_nrpe, as a monitoring server asks it (-2: the old packets).
for name in "${nrpe_commands[@]}"; do
  /usr/lib/nagios/plugins/check_nrpe -H 127.0.0.1 -p "$nrpe_port" -c "$name" >"$eng/nrpe-client/$name.out" 2>&1
  echo $? >"$eng/nrpe-client/$name.rc"
  /usr/lib/nagios/plugins/check_nrpe -2 -H 127.0.0.1 -p "$nrpe_port" -c "$name" >"$eng/nrpe-client/$name.v2.out" 2>&1
  echo $? >"$eng/nrpe-client/$name.v2.rc"
done

now=$(date +%s)
for s in "${nagios_services[@]}"; do
  printf '[%s] SCHEDULE_FORCED_SVC_CHECK;%s;%s;%s\n' "$now" "$host" "${s%% *}" "$now"
done >"$eng/nagios/nagios.cmd"
nagios_status() {  # service, has_been_checked, state, plugin_output, long_plugin_output, performance_data
  perl -ne 'if (/^servicestatus \{/) { %s = (); $in = 1; next }
    if ($in && /^\t\}/) { print join("\t", map { $_ // "" } @s{qw(service_description has_been_checked current_state plugin_output long_plugin_output performance_data)}), "\n"; $in = 0; next }
    $s{$1} = $2 if $in && /^\t(\w+)=(.*)$/' "$eng/nagios/status.dat"
}
nagios_done() { running nagios && ! nagios_status | awk -F'\t' '$2 != 1 { bad = 1 } END { exit !bad }'; }

reschedule() {  # filter: forces the checks of those services
  api POST actions/reschedule-check "$(jq -cn --arg f "$1" '{type: "Service", filter: $f, force: true}')" >/dev/null
}
reschedule 'match("i?-*", service.name)' || fail "Icinga 2 refused to reschedule the checks"
icinga_status() {  # service, checked, state, output, (no long output of its own), performance data,
                   # where it ran: the result's source and the program it ran
  api GET "objects/services?attrs=name&attrs=last_check_result" | jq -r '
    .results[] | .attrs as $a | [$a.name,
      (if $a.last_check_result == null then 0 else 1 end),
      ($a.last_check_result.state // "" | tostring),
      ($a.last_check_result.output // ""), "",
      (($a.last_check_result.performance_data // []) | map(tostring) | join(" ")),
      (($a.last_check_result.check_source // "") + " " + ($a.last_check_result.command // [""] | .[0]))] | @tsv'
}
icinga_done() { running icinga && ! icinga_status | awk -F'\t' '$1 ~ /^i[dna]-/ && $2 != 1 { bad = 1 } END { exit !bad }'; }
wait_for 120 "Nagios' checks" nagios_done
wait_for 120 "Icinga 2's checks" icinga_done

# Each daemon ran to the end, and its own pid file names the process the suite started.
for entry in "${daemons[@]}"; do
  kill -0 "${entry#* }" 2>/dev/null || { fail "${entry%% *} exited during the run"; cat "$eng/${entry%% *}/console.log"; }
  case ${entry%% *} in
    nrpe) pidfile=$eng/nrpe/nrpe.pid ;;
    icinga|agent) pidfile=$eng/${entry%% *}/run/icinga2.pid ;;
    nagios) continue ;;   # its pid was read from it
  esac
  [ "$(cat "$pidfile" 2>/dev/null)" = "${entry#* }" ] || fail "${entry%% *}: $pidfile does not hold ${entry#* }"
done

{
  # (awk, not read: read would merge the empty fields between two tabs)
  nagios_status | awk -F'\t' -v OFS='\t' '{ print (substr($1, 1, 3) == "nd-" ? "nagios" : "nagios/nrpe"), substr($1, 4), $3, $4, $5, $6 }'
  icinga_status | awk -F'\t' -v OFS='\t' '$1 ~ /^i[dna]-/ {
    print (substr($1, 1, 3) == "id-" ? "icinga" : substr($1, 1, 3) == "ia-" ? "icinga/agent" : "icinga/nrpe"), substr($1, 4), $3, $4, $5, $6, $7 }'
  for name in "${nrpe_commands[@]}"; do
    printf 'check_nrpe\t%s\t%s\t%s\t\t\n' "$name" "$(cat "$eng/nrpe-client/$name.rc")" "$(esc <"$eng/nrpe-client/$name.out")"
    printf 'check_nrpe -2\t%s\t%s\t%s\t\t\n' "$name" "$(cat "$eng/nrpe-client/$name.v2.rc")" "$(esc <"$eng/nrpe-client/$name.v2.out")"
  done
  for entry in "${direct[@]}"; do
    name=${entry%% *}
    printf 'direct\t%s\t%s\t%s\t%s\t\n' "$name" "$(cat "$eng/direct/$name.rc")" "$(esc <"$eng/direct/$name.out")" "$(esc <"$eng/direct/$name.err")"
  done
} >"$observed"
