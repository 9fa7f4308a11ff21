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
  wine wine64 wine32:i386 googletest locales python3 icoutils openssl osslsigncode; do
  have "$p" || need_pkgs+=("$p")
done

if [ "${#need_pkgs[@]}" -gt 0 ] || [ -n "${need_update:-}" ]; then
  echo "setup: installing ${need_pkgs[*]:-(package lists only)}"
  export DEBIAN_FRONTEND=noninteractive
  as_root apt-get update -qq
  if [ "${#need_pkgs[@]}" -gt 0 ]; then
    as_root apt-get install -y -qq --no-install-recommends "${need_pkgs[@]}" >/dev/null
  fi
fi

if ! locale -a 2>/dev/null | grep -qi '^ko_KR\.utf-\?8$'; then
  echo "setup: generating the ko_KR.UTF-8 locale"
  if ! grep -q '^ko_KR.UTF-8 UTF-8' /etc/locale.gen 2>/dev/null; then
    echo 'ko_KR.UTF-8 UTF-8' | as_root tee -a /etc/locale.gen >/dev/null
  fi
  as_root locale-gen >/dev/null
fi
