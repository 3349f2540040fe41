#!/usr/bin/env bash
# Installs the Debian packages that building and testing need (run as root),
# only those missing. Sourced by setup.sh; run alone it does the same.
#
# A package index that cannot be read (a mirror in the middle of a sync) is
# tried again a few times, then left out: what the other lists offer is
# installed. 32-bit Wine is installed on its own: where it cannot be, the
# set-up says so in one line with apt's reason and goes on, and the x86 test
# cases then skip as on a machine that cannot run 32-bit programs. A package
# of the 64-bit half that cannot be installed stops the set-up, named.
# VARDEL_APT_TRIES (3) and VARDEL_APT_PAUSE (seconds, 10) pace the retries.
set -euo pipefail

packages64=(cmake make g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix
            binutils-mingw-w64-x86-64 g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix
            binutils-mingw-w64-i686 mingw-w64-tools wine wine64 libwine-dev
            libboost1.81-dev googletest util-linux g++ wixl msitools osslsigncode openssl
            rsyslog rsyslog-relp python3 python3-psycopg2 postgresql libpq-dev
            libcpp-httplib-dev unicode-cldr-core chromium faketime)
package32=wine32:i386

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

# apt's own words of why, on one line.
apt_reason() { grep -E '^E: |Depends: ' | sed 's/^ *//' | head -n 3 | paste -sd ';' -; }

apt_update() {
  local try out tries=${VARDEL_APT_TRIES:-3}
  for ((try = 1; try <= tries; try++)); do
    if out=$(apt-get update 2>&1); then return 0; fi
    echo "setup: package lists, try $try of $tries: $(echo "$out" | apt_reason)" >&2
    [ "$try" -lt "$tries" ] && sleep "${VARDEL_APT_PAUSE:-10}"
  done
  echo "setup: going on with the package lists that could be read" >&2
}

install_packages() {
  local missing=() p out
  for p in "${packages64[@]}"; do installed "$p" || missing+=("$p"); done
  local want32=0
  installed "$package32" || want32=1
  [ ${#missing[@]} -gt 0 ] || [ $want32 -eq 1 ] || return 0
  export DEBIAN_FRONTEND=noninteractive
  dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
  apt_update
  if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    if ! apt-get install -y --no-install-recommends "${missing[@]}"; then
      # Name the ones that cannot be installed, each with apt's reason.
      for p in "${missing[@]}"; do
        out=$(apt-get install -s --no-install-recommends "$p" 2>&1) ||
          echo "setup: cannot install $p, which the build and the tests need: $(echo "$out" | apt_reason)" >&2
      done
      return 1
    fi
  fi
  if [ $want32 -eq 1 ]; then
    echo "Installing: $package32"
    if ! out=$(apt-get install -y --no-install-recommends "$package32" 2>&1); then
      echo "setup: 32-bit Wine ($package32) could not be installed, so the x86 test cases will skip: $(echo "$out" | apt_reason)" >&2
    fi
  fi
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then install_packages; fi
