#!/usr/bin/env bash
# Runs the test command, scripts/test.sh, inside a freshly made minimal Debian 12 root,
# so that a package the scripts forget to install fails here as on a new machine.
#   scripts/fresh-root-test.sh           the committed HEAD of this checkout
# Needs root (it makes a chroot). Exit status: test.sh's own, or 3 when the
# environment (package registry, mmdebstrap) failed rather than the project.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)

[ "$(id -u)" -eq 0 ] || { echo "fresh-root-test: run as root (it builds a chroot)" >&2; exit 2; }

environment_failure() {
  echo "fresh-root-test: ENVIRONMENT FAILURE, not a fault of the project: $*" >&2
  exit 3
}
# A registry hiccup is not a test failure: one more try after a pause.
twice() { "$@" || { echo "fresh-root-test: retrying once: $*" >&2; sleep 10; "$@"; }; }

if ! command -v mmdebstrap >/dev/null; then
  echo "Installing mmdebstrap on the host"
  twice apt-get update -qq || environment_failure "apt-get update on the host failed twice"
  DEBIAN_FRONTEND=noninteractive twice apt-get install -y -qq --no-install-recommends mmdebstrap \
    || environment_failure "mmdebstrap could not be installed on the host"
fi

root=$(mktemp -d /var/tmp/colli-fresh-root.XXXXXX)
log="$root.log"
mounted=()
cleanup() {
  local status=$? pid link i
  # Stop whatever still runs inside the root: only processes we started live there.
  for link in /proc/[0-9]*/root; do
    [ "$(readlink "$link" 2>/dev/null)" = "$root" ] || continue
    pid=${link#/proc/}; pid=${pid%/root}
    kill -9 "$pid" 2>/dev/null || true
  done
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
    umount "${mounted[i]}" 2>/dev/null || umount -l "${mounted[i]}" 2>/dev/null || true
  done
  # Never follow a mount that failed to come off into the host's folders.
  if ! grep -q " $root" /proc/mounts; then
    rm -rf --one-file-system "$root"
  else
    echo "fresh-root-test: $root still has mounts, left in place" >&2
  fi
  rm -f "$log"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The host's binary package sources (deb822 files whose Types include deb), so the
# root reaches the same registry; without any, mmdebstrap's default mirror.
sources=()
for f in /etc/apt/sources.list.d/*.sources; do
  [ -f "$f" ] && grep -qE '^Types:.*\bdeb\b([^-]|$)' "$f" && sources+=("$f")
done
echo "Making a minimal Debian 12 root in $root (sources: ${sources[*]:-default})"
rmdir "$root"
make_root() {
  rm -rf --one-file-system "$root"
  mmdebstrap --quiet --mode=root --variant=minbase --include=git,ca-certificates \
    bookworm "$root" "${sources[@]}"
}
twice make_root || { mkdir -p "$root"; environment_failure "mmdebstrap failed twice"; }

for fs in proc sys dev dev/pts; do
  mount --bind "/$fs" "$root/$fs"
  mounted+=("$root/$fs")
done
mount -t tmpfs -o mode=1777 tmpfs "$root/dev/shm"
mounted+=("$root/dev/shm")
cp -L /etc/resolv.conf "$root/etc/resolv.conf"

base_packages=$(chroot "$root" dpkg-query -W -f='.\n' | wc -l)
git clone -q "$top" "$root/src/controllo-colli"
started=$SECONDS
echo "Running scripts/test.sh in the fresh root (HEAD $(git rev-parse --short HEAD))"
status=0
chroot "$root" /usr/bin/env -i \
  PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root TERM="${TERM:-dumb}" \
  CMAKE_BUILD_PARALLEL_LEVEL=2 CI="${CI:-}" \
  bash -c 'cd /src/controllo-colli && bash scripts/test.sh' 2>&1 | tee "$log" || status=${PIPESTATUS[0]}

if [ "$status" -eq 0 ]; then
  echo "Running the README's deployment commands in the fresh root"
  chroot "$root" /usr/bin/env -i \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root TERM="${TERM:-dumb}" \
    bash -c 'cd /src/controllo-colli && bash scripts/deploy-check.sh' 2>&1 | tee -a "$log" || status=${PIPESTATUS[0]}
fi

echo
echo "== Fresh root summary"
echo "fresh-root-test: $(( $(chroot "$root" dpkg-query -W -f='.\n' | wc -l) - base_packages )) packages installed by the scripts," \
  "root $(du -sm --one-file-system "$root" | cut -f1) MB after the run, $(( (SECONDS - started) / 60 )) min"
grep -E '^CMake Error|^FAILED: |: error: |tests passed|tests failed out of|Total Test time|^(e2e|deploy): |\(Failed\)|\(SEGFAULT\)|\(Timeout\)|\(Subprocess aborted\)|Not Run' "$log" || true
if [ "$status" -eq 3 ]; then
  environment_failure "installing the project's packages inside the root failed twice"
fi
[ "$status" -eq 0 ] && echo "fresh-root-test: scripts/test.sh passed in a fresh Debian 12 root" \
  || echo "fresh-root-test: scripts/test.sh FAILED in a fresh Debian 12 root (status $status)"
exit "$status"
