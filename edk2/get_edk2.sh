#!/usr/bin/env bash
# Gets EDK2 as Debian's source package `edk2` into a cache outside the clone and builds its
# BaseTools there. Safe to run again: a tree that is already there is kept, BaseTools are rebuilt
# only when they are missing.
#
#   edk2/get_edk2.sh            prints the path of the EDK2 tree on its last line
#
# EDK2_CACHE names the cache folder (default ~/.cache/sb-edk2).
set -euo pipefail

cache=${EDK2_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/sb-edk2}
want_version=2022.11
packages=(dpkg-dev nasm acpica-tools uuid-dev build-essential python3 python3-venv)

sudo=""
[ "$(id -u)" -ne 0 ] && sudo=sudo

install_missing() {
  local missing=() p
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  ((${#missing[@]} == 0)) && return 0
  echo "get_edk2: installing ${missing[*]}" >&2
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# `apt-get source` needs a deb-src entry. Derive one from the machine's own binary entries (the
# same mirror and suites), so that no address is written down here.
ensure_deb_src() {
  if apt-get indextargets --format '$(CREATED_BY)' 2>/dev/null | grep -q '^Sources$'; then
    return 0
  fi
  local out=/etc/apt/sources.list.d/sb-edk2-deb-src
  if compgen -G '/etc/apt/sources.list.d/*.sources' >/dev/null; then
    # deb822 files: every stanza of type deb, again as deb-src.
    local f
    for f in /etc/apt/sources.list.d/*.sources; do
      case "$f" in "$out".sources) continue ;; esac
      sed -n 's/^Types:[[:space:]]*deb[[:space:]]*$/Types: deb-src/;p' "$f"
      echo
    done | $sudo tee "$out.sources" >/dev/null
  fi
  if [ -f /etc/apt/sources.list ] && grep -q '^deb ' /etc/apt/sources.list; then
    sed -n 's/^deb /deb-src /p' /etc/apt/sources.list | $sudo tee "$out.list" >/dev/null
  fi
  echo "get_edk2: added deb-src entries derived from the machine's apt sources" >&2
  $sudo apt-get update -qq
}

fetch_tree() {
  local tree
  tree=$(find "$cache" -maxdepth 1 -type d -name "edk2-${want_version}*" 2>/dev/null | head -n 1)
  if [ -n "$tree" ] && [ -f "$tree/edksetup.sh" ]; then
    echo "$tree"
    return 0
  fi
  ensure_deb_src
  mkdir -p "$cache"
  (cd "$cache" && apt-get source -qq "edk2=$(apt-cache showsrc edk2 | sed -n 's/^Version: //p' | grep "^${want_version}" | head -n 1)" >&2)
  tree=$(find "$cache" -maxdepth 1 -type d -name "edk2-${want_version}*" | head -n 1)
  [ -n "$tree" ] || { echo "get_edk2: no edk2-${want_version} tree after apt-get source" >&2; exit 1; }
  echo "$tree"
}

build_basetools() {
  local tree=$1
  [ -x "$tree/BaseTools/Source/C/bin/GenFw" ] && return 0
  echo "get_edk2: building BaseTools" >&2
  make -C "$tree/BaseTools" -j "$(nproc)" >"$cache/basetools.log" 2>&1 ||
    { tail -n 40 "$cache/basetools.log" >&2; exit 1; }
}

install_missing
tree=$(fetch_tree)
build_basetools "$tree"
echo "$tree"
