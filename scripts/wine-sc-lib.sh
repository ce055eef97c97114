# Service-manager helpers shared by the Wine install scripts; sourced, not run. The caller sets
# `run` (the build's wine-run wrapper), `name` (the service name) and `me` (its own name, for
# messages). Waits for a state are bounded (10 s).

# Prints the service's state word (RUNNING, STOPPED, ...), or nothing when it is not registered.
state() {
  "$run" sc query "$name" 2>/dev/null </dev/null | tr -d '\r' |
    awk '$1 == "STATE" { print $4; exit }' || true
}

wait_for() {
  local want=$1 i
  for i in $(seq 1 100); do
    [ "$(state)" = "$want" ] && return 0
    sleep 0.1
  done
  echo "$me: $name did not reach $want within 10 s (now: $(state))" >&2
  return 1
}

stop_service() {
  local now
  now=$(state)
  if [ -n "$now" ] && [ "$now" != STOPPED ]; then
    "$run" sc stop "$name" >/dev/null </dev/null || true
    wait_for STOPPED
  fi
}
