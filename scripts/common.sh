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
