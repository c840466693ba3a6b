# Sourced by run. A lost agent: stops it, then proves what the master shows.
# Sets agent_stopped to the PASS line, or fails.

# Once the agent stops, the master keeps each of its services' last result (an
# OK stays OK) until it has run for five minutes; the cluster-zone check and the
# dependency on it show the loss at once.
agent_results() {  # each agent service's last result and whether it was reachable
  api GET "objects/services?filter=match(%22ia-*%22,service.name)&attrs=name&attrs=last_check_result&attrs=last_reachable" |
    jq -cS '[.results[].attrs] | sort_by(.name) | map({name, last_check_result, last_reachable})'
}
health() {  # state and output of the agent's zone health, as the master checked it last
  api GET "objects/services/$agent!agent-health?attrs=last_check_result" |
    jq -r '.results[0].attrs.last_check_result // {} | "\(.state) \(.output)"'
}
health_is() { [[ $(health) == "$1 Zone '$agent' is $2"* ]]; }
unreachable() { agent_results | jq -e 'all(.[]; .last_reachable == false)' >/dev/null; }
lost=()
reschedule 'service.name == "agent-health"' && wait_for 30 "agent-health OK" health_is 0 connected || lost+=("agent-health was not OK")
before=$(agent_results)
jq -e 'all(.[]; .last_reachable)' <<<"$before" >/dev/null || lost+=("the agent's services were unreachable while it ran")
connected_health=$(health)
stop agent
wait_for 30 "the master to lose the agent" eval '! agent_connected_master' || lost+=("the master still saw the agent")
reschedule 'service.name == "agent-health"' && wait_for 30 "agent-health CRITICAL" health_is 2 "not connected" ||
  lost+=("agent-health: '$(health)'")
reschedule 'match("ia-*", service.name)' && wait_for 30 "the agent's services to be unreachable" unreachable ||
  lost+=("the agent's services stayed reachable")
after=$(agent_results)
jq -e --argjson b "$before" 'map(.last_check_result) == ($b | map(.last_check_result))' <<<"$after" >/dev/null ||
  lost+=("the agent's services' results changed: $(diff <(jq . <<<"$before") <(jq . <<<"$after") | head -20)")
kept=$(jq -r '[.[] | select(.name == "ia-pid-ok") | .last_check_result | "\(.state) \(.output)"][0]' <<<"$after")
lost_health=$(health)
agent_stopped=""
if [ ${#lost[@]} -eq 0 ]; then
  agent_stopped="PASS engines agent-stopped (icinga/agent: every service keeps its last result, ia-pid-ok '$kept', unreachable; agent-health '${connected_health%%.*}' then '${lost_health%%.*}')"
else
  for problem in "${lost[@]}"; do fail "agent-stopped: $problem"; done
fi
