# Sourced by the demo and the benchmark scripts: a scratch folder removed at exit with
# every process started into `pids`, and a private home, config and runtime folder so the
# program never touches the user's own settings or USB-link socket.

# skiff_sandbox NAME: sets `work` to a new scratch folder and `pids` to an empty list.
skiff_sandbox() {
  work=$(mktemp -d "/tmp/$1-XXXXXX")
  pids=()
  trap skiff_sandbox_cleanup EXIT
}

skiff_sandbox_cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}

# skiff_private_home DIR: HOME, XDG folders and the USB-link socket below DIR.
skiff_private_home() {
  export HOME=$1/home XDG_CONFIG_HOME=$1/home/.config XDG_RUNTIME_DIR=$1/run
  export SKIFFHOUSE_USB_SOCKET=$1/run/usb.sock
  mkdir -p "$HOME" "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
}

# skiff_wait_until COMMAND...: up to 10 s for COMMAND to succeed; fails when it never does.
skiff_wait_until() {
  for _ in $(seq 100); do
    "$@" && return 0
    sleep 0.1
  done
  return 1
}

# skiff_wait_for_socket: up to 10 s for the program to listen for handhelds.
skiff_wait_for_socket() { skiff_wait_until test -S "$SKIFFHOUSE_USB_SOCKET"; }

# skiff_start_program DIR BUILD: BUILD's skiffhouse with a private home and socket below
# DIR, its output in DIR/skiffhouse.log; sets `started` once it listens for handhelds.
skiff_start_program() {
  mkdir -p "$1"
  (skiff_private_home "$1" && exec "$2/src/platform/posix/skiffhouse" </dev/null >"$1/skiffhouse.log" 2>&1) &
  started=$!
  pids+=("$started")
  skiff_wait_until test -S "$1/run/usb.sock" && return 0
  echo "skiffhouse of $2 did not start" >&2
  exit 1
}
