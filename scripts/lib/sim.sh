# Starting and stopping hvr-sim from a script; sourced by demo.sh and bench.sh.
#
#   start_sim SIM WORK [extra flags...]
#     Starts SIM on a free loopback port with a fresh database in WORK, its
#     stdout in WORK/sim.out and its log in WORK/sim.log. Sets SIM_PID and
#     SIM_PORT; returns non-zero (with SIM_PORT empty) when the server exits or
#     does not listen within ten seconds.
#   stop_sim
#     Stops the server started by start_sim, if it still runs.

SIM_PID=""
SIM_PORT=""

start_sim() {
  local sim=$1 work=$2
  shift 2
  "$sim" --listen 127.0.0.1 --port 0 --port-file "$work/port" --db "$work/sim.db" --fresh-day "$@" \
    >"$work/sim.out" 2>"$work/sim.log" &
  SIM_PID=$!
  # The port file appears once the server listens.
  for _ in $(seq 1 100); do
    [ -s "$work/port" ] && break
    kill -0 "$SIM_PID" 2>/dev/null || return 1
    sleep 0.1
  done
  [ -s "$work/port" ] || return 1
  SIM_PORT=$(cat "$work/port")
}

stop_sim() {
  if [ -n "$SIM_PID" ] && kill -0 "$SIM_PID" 2>/dev/null; then
    kill -TERM "$SIM_PID" 2>/dev/null || true
    wait "$SIM_PID" 2>/dev/null || true
  fi
}
