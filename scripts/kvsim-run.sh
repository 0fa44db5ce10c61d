# Sourced by the scripts that run a host against kvsim. start_kvsim KVSIM
# SCRIPT DIR starts kvsim on a free port with the script, its output in
# DIR/server.txt, and sets server_pid and port; it fails, showing kvsim's
# output, when kvsim ends or gives no port within a minute.
start_kvsim() {
  local kvsim=$1 script=$2 dir=$3
  "$kvsim" --port 0 --port-file "$dir/port" --script "$script" \
    </dev/null >"$dir/server.txt" 2>&1 &
  server_pid=$!
  port=""
  for _ in $(seq 600); do
    port=$(cat "$dir/port" 2>/dev/null || true)
    [ -n "$port" ] && return 0
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "$(basename "$dir"): kvsim did not start" >&2
  sed 's/^/  kvsim| /' "$dir/server.txt" >&2
  return 1
}
