#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian machine. Idempotent:
# when everything is already there it makes no network call and returns fast.
set -euo pipefail

need_pkgs=()
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  echo "setup: adding the i386 architecture"
  as_root dpkg --add-architecture i386
  need_update=1
fi

# The x86_64 compilers build the Wine tests on hosts that run no 32-bit programs.
for p in cmake make g++-mingw-w64-i686-posix g++-mingw-w64-i686-win32 binutils-mingw-w64-i686 \
  g++-mingw-w64-x86-64-posix g++-mingw-w64-x86-64-win32 binutils-mingw-w64-x86-64 \
  wine wine64 wine32:i386 googletest locales python3 icoutils openssl osslsigncode nginx squid; do
  have "$p" || need_pkgs+=("$p")
done

if [ "${#need_pkgs[@]}" -gt 0 ] || [ -n "${need_update:-}" ]; then
  echo "setup: installing ${need_pkgs[*]:-(package lists only)}"
  export DEBIAN_FRONTEND=noninteractive
  # A mirror caught mid-sync fails the update for a minute or two: try again,
  # a bounded number of times, then let the install say what is missing.
  for try in 1 2 3; do
    as_root apt-get update -qq && break
    [ "$try" -lt 3 ] || { echo "setup: package lists still incomplete, installing anyway"; break; }
    echo "setup: package lists failed to update (try $try of 3), again in 20 s"
    sleep 20
  done
  if [ "${#need_pkgs[@]}" -gt 0 ] &&
    ! as_root apt-get install -y -qq --no-install-recommends "${need_pkgs[@]}" >/dev/null; then
    # When one architecture's security list is missing, i386 and amd64 copies
    # of a library cannot reach the same version; the release's own versions
    # of both can.
    release=$(. /etc/os-release && echo "$VERSION_CODENAME")
    echo "setup: install failed, trying again with $release's own package versions"
    as_root apt-get install -y -qq --no-install-recommends -t "$release" "${need_pkgs[@]}" >/dev/null
  fi
fi

# nginx and squid are for end-to-end tests, which start their own on
# loopback ports; the system's own, which their packages may have started
# (on ports 80 and 3128), stay off.
for service in nginx squid; do
  if [[ " ${need_pkgs[*]:-} " == *" $service "* ]]; then
    as_root systemctl disable --now "$service" >/dev/null 2>&1 ||
      as_root service "$service" stop >/dev/null 2>&1 || true
  fi
done

if ! locale -a 2>/dev/null | grep -qi '^ko_KR\.utf-\?8$'; then
  echo "setup: generating the ko_KR.UTF-8 locale"
  if ! grep -q '^ko_KR.UTF-8 UTF-8' /etc/locale.gen 2>/dev/null; then
    echo 'ko_KR.UTF-8 UTF-8' | as_root tee -a /etc/locale.gen >/dev/null
  fi
  as_root locale-gen >/dev/null
fi
