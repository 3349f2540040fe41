#!/bin/sh
# Run by the collector's omfile (collect/store/pgsql.conf) once the store's
# journal has passed its size, with the journal closed: renames it
# journal.N, N one more than the highest there, so that the loader takes
# such files in order. The journal is the argument where rsyslog passes
# one, else in $VARDEL_COLLECT_DIR. A failure leaves the journal where it
# is; rsyslog then retries the write.
set -eu
journal=${1:-$VARDEL_COLLECT_DIR/store-journal/journal}
last=0
for f in "$journal".*; do
  n=${f##*.}
  case $n in ''|*[!0-9]*|??????????????????*) continue ;; esac
  [ "$n" -le "$last" ] || last=$n
done
mv -- "$journal" "$journal.$((last + 1))"
