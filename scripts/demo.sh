#!/usr/bin/env bash
# The main job: build, register the server in the private Wine prefix, start
# the stand-in host, log sample events with vardel-log and a VBScript client,
# and print the day's log file and the alarm file. The prefix's wineserver
# is stopped at the end, whatever happened.
set -euo pipefail
. "$(dirname "$0")/common.sh"
"$top/scripts/setup.sh"
run() { "$top/cmake/wine-run" "$build" "$@"; }
win() { local p=$1; echo "Z:${p//\//\\}"; }
fail() { echo "demo: $*" >&2; exit 1; }
trap 'run --stop >/dev/null 2>&1 || true' EXIT

drive_c=$build/wineprefix/drive_c
alarm_file='C:\Korvane\Trevalon\alarms.txt'

echo "== Registering the server"
run "$build/bin/VardelEventLogger.exe" /RegServer
mkdir -p "$drive_c/Korvane/VardelLogs" "$drive_c/Korvane/Trevalon"
run 'C:\windows\system32\reg.exe' add 'HKLM\SOFTWARE\Dunmere\Trevalon\Configuration' \
    /v AlarmTxtFile /t REG_SZ /d "$alarm_file" /f >/dev/null
run 'C:\windows\system32\reg.exe' add 'HKLM\SOFTWARE\Pellucor' \
    /v InstrumentName /t REG_SZ /d 'Demo instrument' /f >/dev/null

echo "== Starting the stand-in host"
# The holder runs in the background; wait (bounded) until its event exists.
run "$build/bin/korvane-host.exe" --hold --seconds 300 >/dev/null 2>&1 &
host=$!
held=0
for _ in $(seq 100); do
  if run "$build/bin/korvane-host.exe" --status >/dev/null 2>&1; then held=1; break; fi
  sleep 0.2
done
[ $held = 1 ] || fail "the stand-in host did not create its event within 20 s"

log_lines() { cat "$drive_c"/Korvane/VardelLogs/Log_*.log 2>/dev/null | wc -l || true; }
log_before=$(log_lines)
echo "== Logging sample events"
run "$build/bin/vardel-log.exe" -t INFORMATION -l RELEASE -s Demo -m "Demo started"
run "$build/bin/vardel-log.exe" -t WARNING -l DEBUG -s "Pump Control" -m 'Pressure "rising"'
run "$build/bin/vardel-log.exe" -t ERROR -l RELEASE -s "Pump Control" -m "Pressure high, check seal"
printf 'first line from standard input\nsecond line from standard input\n' |
    run "$build/bin/vardel-log.exe" -t INFORMATION -s stdin --stdin
run 'C:\windows\system32\cscript.exe' //nologo "$(win "$top/tools/sample.vbs")" "Hello from VBScript"

# LogEvent returns once the event is queued; wait (bounded) for the writer.
written=0
for _ in $(seq 100); do
  if [ "$(log_lines)" -ge $((log_before + 6)) ]; then written=1; break; fi
  sleep 0.1
done
[ $written = 1 ] || fail "the six sample lines did not reach the log within 10 s"

echo "== Stopping the host (the server ends within about 10 s)"
run "$build/bin/korvane-host.exe" --stop
wait "$host" 2>/dev/null || true

echo "== The log folder: C:\\Korvane\\VardelLogs, on this machine $drive_c/Korvane/VardelLogs"
for f in "$drive_c"/Korvane/VardelLogs/Log_*.log; do
  echo "== Log file C:\\Korvane\\VardelLogs\\$(basename "$f") ($f)"
  cat "$f"
done
echo "== Alarm file $alarm_file"
cat "$drive_c/Korvane/Trevalon/alarms.txt"
