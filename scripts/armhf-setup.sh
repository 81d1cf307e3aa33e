#!/usr/bin/env bash
# Prepares the 32-bit ARM (armhf) cross build: the cross compiler and qemu-user on the
# build machine, and the armhf libraries the project builds against and runs with.
#
#   scripts/armhf-setup.sh              sysroot (default), multiarch if that fails
#   LPR_ARMHF_METHOD=sysroot|multiarch  force one way
#   LPR_ARMHF_HOME=DIR                  where sysroot/ and bin/qemu-arm go (/opt/lpr-armhf)
#   LPR_ARMHF_SYSROOT=DIR               the sysroot elsewhere
#   LPR_ARMHF_MIRROR=URL                Debian mirror for the sysroot (default: apt's)
#
# The armhf libraries are the "-dev" packages of the "build" group of scripts/deps.sh,
# so a library added there is picked up here too.
#
# Sysroot: debootstrap downloads the armhf packages (minbase plus those libraries and
# everything they depend on) and every package is unpacked into the sysroot with
# dpkg-deb -x; nothing of it is installed on the build machine, so it does not matter
# whether the armhf and amd64 versions of a shared package agree. Kept between runs
# and rebuilt only when the package list or the release changes.
#
# Multiarch: dpkg --add-architecture armhf and the :armhf packages installed on the
# build machine. Refused by apt whenever a package's armhf and amd64 versions differ
# (for instance while an update has reached one architecture's index but not the
# other's), hence only the fallback.
#
# qemu-user: programs under test may fork children that start threads of their own (a bus
# client in the child, while the parent has one running). qemu-arm before 8.0 aborts
# there ("qemu_plugin_vcpu_init_hook: assertion failed"), so an older one on the build
# machine is not used: the statically linked qemu-arm of the release's backports is
# unpacked into $LPR_ARMHF_HOME/bin instead, with a private apt state (the build
# machine's apt sources and packages stay as they are).
#
# Exit status: 0 ready, 77 the package archive cannot be reached (nothing to build
# with), anything else a real failure.
set -euo pipefail
cd "$(dirname "$0")/.."

readonly TRIPLE=arm-linux-gnueabihf
ARMHF_HOME=${LPR_ARMHF_HOME:-/opt/lpr-armhf}
SYSROOT=${LPR_ARMHF_SYSROOT:-$ARMHF_HOME/sysroot}
METHOD=${LPR_ARMHF_METHOD:-auto}
# shellcheck source=/dev/null
SUITE=$(. /etc/os-release && echo "${VERSION_CODENAME:?}")

log() { echo "armhf-setup: $*"; }

# The Debian mirror apt uses for the release (deb822 or one-line sources).
apt_mirror() {
  local f uri
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    uri=$(awk '/^URIs:/ { for (i = 2; i <= NF; i++) if ($i !~ /security/) { print $i; exit } }' "$f")
    [ -n "$uri" ] && { echo "${uri%/}"; return; }
  done
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    uri=$(awk '$1 == "deb" && $0 !~ /security/ { for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) { print $i; exit } }' "$f")
    [ -n "$uri" ] && { echo "${uri%/}"; return; }
  done
  echo "http://deb.debian.org/debian"
}
MIRROR=${LPR_ARMHF_MIRROR:-$(apt_mirror)}

# Asks the archive for its release file through apt's own transport (proxies and all).
archive_reachable() {
  local tmp
  tmp=$(mktemp)
  if timeout 60 /usr/lib/apt/apt-helper download-file \
    "$MIRROR/dists/$SUITE/InRelease" "$tmp" >/dev/null 2>&1; then
    rm -f "$tmp"
    return 0
  fi
  rm -f "$tmp"
  return 1
}

fail() {
  if archive_reachable; then
    log "FAILED: $*"
    exit 1
  fi
  log "the package archive $MIRROR cannot be reached: $*"
  exit 77
}

# The armhf -dev libraries: every "-dev" package of the build group.
armhf_dev_packages() {
  sed -n 's/^ *\[build\]="\(.*\)"/\1/p' scripts/deps.sh | tr ' ' '\n' | grep -- '-dev$' | sort -u
}

host_tools() {
  ./scripts/deps.sh armhf || fail "installing the cross compiler and debootstrap"
}

qemu_major() {
  "$1" --version 2>/dev/null | sed -n 's/^qemu-arm version \([0-9]*\)\..*/\1/p'
}

# A qemu-arm of version 8 or later: the build machine's, else the backports' one.
install_qemu() {
  local q major apt_dir opts
  for q in "$ARMHF_HOME/bin/qemu-arm" "$(command -v qemu-arm || true)"; do
    [ -x "$q" ] || continue
    major=$(qemu_major "$q")
    if [ "${major:-0}" -ge 8 ]; then
      log "qemu-arm $major at $q"
      return 0
    fi
  done
  log "fetching qemu-user from $SUITE-backports"
  apt_dir="$ARMHF_HOME/apt"
  rm -rf "$apt_dir"
  mkdir -p "$apt_dir/sources" "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
  printf 'Types: deb\nURIs: %s\nSuites: %s-backports\nComponents: main\nSigned-By: %s\n' \
    "$MIRROR" "$SUITE" /usr/share/keyrings/debian-archive-keyring.gpg \
    >"$apt_dir/sources/backports.sources"
  opts=(-o Dir::Etc::SourceList=/dev/null -o "Dir::Etc::SourceParts=$apt_dir/sources"
    -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache"
    -o Dir::State::status=/dev/null -o APT::Sandbox::User=root -qq)
  if apt-get "${opts[@]}" update && (cd "$apt_dir" && apt-get "${opts[@]}" download qemu-user); then
    dpkg-deb -x "$apt_dir"/qemu-user_*.deb "$apt_dir/x"
    mkdir -p "$ARMHF_HOME/bin"
    install -m 755 "$apt_dir/x/usr/bin/qemu-arm" "$ARMHF_HOME/bin/qemu-arm"
    rm -rf "$apt_dir"
    log "qemu-arm $(qemu_major "$ARMHF_HOME/bin/qemu-arm") at $ARMHF_HOME/bin/qemu-arm"
    return 0
  fi
  rm -rf "$apt_dir"
  archive_reachable || fail "fetching qemu-user"
  # The release's own qemu-user runs everything but a forked child's threads.
  log "WARNING: no qemu-user in $SUITE-backports; using the release's qemu-user, under"
  log "which a forked child of a threaded program aborts when it starts a thread"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends qemu-user \
    || fail "installing qemu-user"
}

# Run twice when the download breaks off: a busy mirror drops connections now and then.
build_sysroot() {
  local pkgs stamp_want tmp try
  pkgs=$(armhf_dev_packages | paste -sd, -)
  stamp_want="$SUITE $pkgs"
  if [ -f "$SYSROOT/.lpr-sysroot" ] && [ "$(cat "$SYSROOT/.lpr-sysroot")" = "$stamp_want" ]; then
    log "sysroot $SYSROOT is up to date ($SUITE: $pkgs)"
    return 0
  fi
  log "building the sysroot $SYSROOT from $MIRROR ($SUITE: $pkgs)"
  mkdir -p "$(dirname "$SYSROOT")"
  tmp="$SYSROOT.new"
  for try in 1 2; do
    rm -rf "$tmp"
    if debootstrap --arch=armhf --variant=minbase --download-only --include="$pkgs" \
      "$SUITE" "$tmp" "$MIRROR" >"$tmp.log" 2>&1; then
      break
    fi
    log "debootstrap failed (try $try), last lines of its log:"
    tail -n 5 "$tmp.log" | sed 's/^/    /'
    [ "$try" -eq 2 ] && return 1
  done
  local deb
  for deb in "$tmp"/var/cache/apt/archives/*.deb; do
    dpkg-deb -x "$deb" "$tmp"
    basename "$deb" .deb >>"$tmp/.lpr-packages"
  done
  # Left out: the downloaded packages, documentation, and the empty run-time folders.
  # qemu-arm -L looks up every absolute path in the sysroot first, so an empty /tmp or
  # /run in it would hide the build machine's ones from the programs under test.
  rm -f "${tmp:?}"/var/cache/apt/archives/*.deb
  local d
  for d in debootstrap usr/share/doc usr/share/man usr/share/info usr/share/locale \
    tmp run var/run var/tmp dev proc sys; do
    rm -rf "${tmp:?}/$d"
  done
  [ -f "$tmp/usr/lib/$TRIPLE/pkgconfig/libzmq.pc" ] || { log "sysroot incomplete"; return 1; }
  echo "$stamp_want" >"$tmp/.lpr-sysroot"
  rm -rf "$SYSROOT" "$tmp.log"
  mv "$tmp" "$SYSROOT"
  log "sysroot ready: $(du -sh "$SYSROOT" | cut -f1)"
}

multiarch() {
  local pkgs
  pkgs=$(armhf_dev_packages | sed 's/$/:armhf/' | tr '\n' ' ')
  log "installing the armhf libraries on the build machine (multiarch): $pkgs"
  export DEBIAN_FRONTEND=noninteractive
  dpkg --print-foreign-architectures | grep -qx armhf || dpkg --add-architecture armhf
  apt-get update -qq
  # shellcheck disable=SC2086
  apt-get install -y -qq --no-install-recommends libc6:armhf libstdc++6:armhf $pkgs
}

host_tools
install_qemu
case "$METHOD" in
  sysroot) build_sysroot || fail "building the sysroot" ;;
  multiarch) multiarch || fail "installing the armhf packages" ;;
  auto)
    if ! build_sysroot; then
      archive_reachable || fail "building the sysroot"
      log "the sysroot could not be built; trying multiarch"
      rm -rf "$SYSROOT"
      multiarch || fail "installing the armhf packages"
    fi
    ;;
  *) log "unknown LPR_ARMHF_METHOD=$METHOD"; exit 2 ;;
esac
log "ready ($METHOD)"
