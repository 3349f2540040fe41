# Sourced by the scripts: the tree, the preset (VARDEL_PRESET, default x64)
# and its build folder, and the one configure-and-build step. Each preset of
# CMakePresets.json builds into build/ (x64) or build-<preset>/.
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
preset=${VARDEL_PRESET:-x64}
if [ "$preset" = x64 ]; then build=$top/build; else build=$top/build-$preset; fi

# configure_and_build [target...]: all targets when none are named.
configure_and_build() {
  (cd "$top" && cmake --preset "$preset" >/dev/null)
  local targets=()
  [ $# -gt 0 ] && targets=(--target "$@")
  (cd "$top" && cmake --build --preset "$preset" "${targets[@]}")
}

# free_ports N: N free TCP ports of 127.0.0.1, asked of the system, on one line.
free_ports() {
  python3 -c '
import socket, sys
s = [socket.socket() for _ in range(int(sys.argv[1]))]
for x in s: x.bind(("127.0.0.1", 0))
print(*(x.getsockname()[1] for x in s))' "$1"
}

# listening PORT: something accepts connections on 127.0.0.1:PORT.
listening() { python3 -c 'import socket,sys; socket.create_connection(("127.0.0.1", int(sys.argv[1])), 1)' "$1" 2>/dev/null; }
