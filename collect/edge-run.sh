#!/usr/bin/env bash
# Runs an edge process (the edge rsyslogd or edge-tail.py) so that it cannot
# follow a link inside the log folder: in a mount namespace of its own, the
# folder is bound over itself read-only and with nosymfollow, so the kernel
# refuses every symbolic link in it (to a file or a folder, made before or
# after the start). Whoever can write into the folder can then hand the edge
# only the folder's own regular files. Hard links to files of others are
# refused by the kernel's protected_hardlinks (on by default).
#   edge-run.sh LOG_FOLDER COMMAND [ARG...]
# Root gets a mount namespace; another user a user namespace too, mapped to
# itself as root inside (its files stay its own). COMMAND replaces this
# script (same process id). Needs Linux 5.10 or later.
# Exit codes: COMMAND's; 5 the protected folder cannot be made (the cause on
# stderr): the edge does not run unprotected.
set -euo pipefail
[ $# -ge 2 ] || { echo "usage: edge-run.sh LOG_FOLDER COMMAND [ARG...]" >&2; exit 2; }
folder=$(cd "$1" && pwd -P) || { echo "edge-run: no folder $1" >&2; exit 5; }
shift
ns=(unshare --mount --propagation private)
[ "$(id -u)" = 0 ] || ns=(unshare --map-root-user --mount --propagation private)
inside='mount --bind "$1" "$1" && mount -o remount,bind,ro,nosymfollow "$1" ||
  { echo "edge-run: cannot protect $1 from links (mount namespace, nosymfollow: Linux 5.10+)" >&2; exit 5; }
shift; exec "$@"'
"${ns[@]}" true || { echo "edge-run: cannot make a mount namespace (unshare ${ns[*]:1})" >&2; exit 5; }
exec "${ns[@]}" bash -c "$inside" edge-run "$folder" "$@"
