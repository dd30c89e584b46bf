#!/usr/bin/env bash
# Runs the README's two commands (scripts/demo.sh, then scripts/test.sh) on a fresh, minimal
# Debian root built with debootstrap, as a new user with sudo would, on the committed project.
# Too slow for every test run; run it by hand when the set-up or the dependencies change.
#
#   scripts/check-debian.sh 12|13 [--pyenv DIR] [--mirror URL] [--keep]
#
#   --pyenv DIR   give the user DIR (a pyenv root with a 3.13 built for that release), read-only
#                 at the same path (pyenv's builds are not relocatable) and as PYENV_ROOT;
#                 Debian 12 has no Python 3.13 of its own
#   --mirror URL  the Debian mirror; default: the one this machine's apt uses
#   --keep        keep the root afterwards (its mounts are always removed)
#
# Needs root (debootstrap, chroot, mounts). Exits non-zero when either command fails.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

usage() { sed -n '5,12p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }

RELEASE="${1:-}"
shift || true
case "$RELEASE" in
    12) SUITE=bookworm ;;
    13) SUITE=trixie ;;
    *) usage ;;
esac
PYENV_DIR="" MIRROR="" KEEP=""
while (($#)); do
    case "$1" in
        --pyenv) PYENV_DIR="$(cd "${2:?}" && pwd)"; shift 2 ;;
        --mirror) MIRROR="${2:?}"; shift 2 ;;
        --keep) KEEP=1; shift ;;
        *) usage ;;
    esac
done

[ "$(id -u)" -eq 0 ] || { echo "check-debian.sh needs root (debootstrap, chroot, mounts)" >&2; exit 1; }
command -v debootstrap >/dev/null || { echo "install debootstrap first (apt-get install debootstrap)" >&2; exit 1; }

# The first non-security mirror of this machine's apt sources (deb822 or one-line format).
default_mirror() {
    {
        grep -hs '^[[:space:]]*URIs:' /etc/apt/sources.list.d/*.sources | sed 's/^[[:space:]]*URIs:[[:space:]]*//' | tr ' ' '\n'
        grep -hs '^[[:space:]]*deb[[:space:]]' /etc/apt/sources.list /etc/apt/sources.list.d/*.list |
            sed 's/\[[^]]*\]//' | awk '{print $2}'
    } 2>/dev/null | grep -v -e security -e '^$' | head -n1 || true
}
[ -n "$MIRROR" ] || MIRROR="$(default_mirror)"
[ -n "$MIRROR" ] || { echo "no Debian mirror in the apt sources; pass --mirror URL" >&2; exit 1; }

if [ -n "$(git -C "$ROOT" status --porcelain --untracked-files=no)" ]; then
    echo "note: uncommitted changes are not part of the check (it runs the committed HEAD)"
fi

TARGET="$(mktemp -d "${TMPDIR:-/var/tmp}/trelvo-debian$RELEASE.XXXXXX")"
chmod 0755 "$TARGET"  # it becomes the user's /
LOG="$ROOT/build/check-debian-$RELEASE.log"
mkdir -p "$ROOT/build"
: >"$LOG"

# Mount points under the root, deepest first.
mounts_under() {
    awk -v t="$TARGET" '$2 == t || index($2, t "/") == 1 {print $2}' /proc/self/mounts | sort -r
}

cleanup() {
    local status=$? m
    set +e
    for m in $(mounts_under); do
        umount "$m" 2>/dev/null || umount -l "$m"
    done
    if [ -n "$(mounts_under)" ]; then
        echo "mounts left under $TARGET; not deleting it:" >&2
        mounts_under >&2
    elif [ -n "$KEEP" ]; then
        echo "root kept in $TARGET"
    else
        rm -rf --one-file-system "$TARGET"
    fi
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

log() { echo "== $*" | tee -a "$LOG"; }

# A pyenv Python built on the host needs the shared libraries its modules were linked against.
EXTRA=sudo,ca-certificates
[ -z "$PYENV_DIR" ] || EXTRA="$EXTRA,libssl3,libffi8,libsqlite3-0,libbz2-1.0,liblzma5,zlib1g,libreadline8,libncursesw6,libuuid1"

log "debootstrap Debian $RELEASE ($SUITE) from $MIRROR into $TARGET"
start=$SECONDS
debootstrap --variant=minbase --include="$EXTRA" "$SUITE" "$TARGET" "$MIRROR" >>"$LOG" 2>&1 || {
    echo "debootstrap failed; see $LOG" >&2
    exit 1
}
log "root ready in $((SECONDS - start)) s"

mount -t proc proc "$TARGET/proc"
mount -t sysfs -o ro sysfs "$TARGET/sys"
mount --bind /dev "$TARGET/dev"
mount --bind /dev/pts "$TARGET/dev/pts"
mount -t tmpfs -o mode=1777,nosuid,nodev shm "$TARGET/dev/shm"
cp -L /etc/resolv.conf "$TARGET/etc/resolv.conf"
echo "127.0.1.1 $(cat "$TARGET/etc/hostname" 2>/dev/null || hostname)" >>"$TARGET/etc/hosts"
# Certificate authorities added on this machine (a network that inspects TLS) are trusted in the
# root too, by the system and by pip.
if compgen -G "/usr/local/share/ca-certificates/*.crt" >/dev/null; then
    mkdir -p "$TARGET/usr/local/share/ca-certificates"
    cp /usr/local/share/ca-certificates/*.crt "$TARGET/usr/local/share/ca-certificates/"
    chroot "$TARGET" update-ca-certificates >>"$LOG" 2>&1
    printf '[global]\ncert = /etc/ssl/certs/ca-certificates.crt\n' >"$TARGET/etc/pip.conf"
fi

# A new user with sudo, and a clean copy of the committed project in their home.
USERNAME=trelvo
HOME_DIR="/home/$USERNAME"
chroot "$TARGET" useradd -m -s /bin/bash "$USERNAME"
echo "$USERNAME ALL=(ALL) NOPASSWD: ALL" >"$TARGET/etc/sudoers.d/$USERNAME"
chmod 0440 "$TARGET/etc/sudoers.d/$USERNAME"
mkdir -p "$TARGET$HOME_DIR/trelvo"
git -C "$ROOT" archive --format=tar HEAD | tar -x -C "$TARGET$HOME_DIR/trelvo"
chroot "$TARGET" chown -R "$USERNAME:$USERNAME" "$HOME_DIR"
USER_ENV=()
if [ -n "$PYENV_DIR" ]; then
    mkdir -p "$TARGET$PYENV_DIR"
    mount --bind "$PYENV_DIR" "$TARGET$PYENV_DIR"
    mount -o remount,bind,ro "$TARGET$PYENV_DIR"
    # The user must reach it (e.g. under /root).
    dir="$(dirname "$PYENV_DIR")"
    while [ "$dir" != / ]; do chmod o+x "$TARGET$dir"; dir="$(dirname "$dir")"; done
    USER_ENV+=(PYENV_ROOT="$PYENV_DIR")
fi

# Runs one command in the project as the new user, from a login shell's clean environment.
USER_ID="$(chroot "$TARGET" id -u "$USERNAME")"
GROUP_ID="$(chroot "$TARGET" id -g "$USERNAME")"
run_as_user() {
    chroot --userspec="$USER_ID:$GROUP_ID" --groups="$GROUP_ID" "$TARGET" \
        /usr/bin/env -i HOME="$HOME_DIR" USER="$USERNAME" LOGNAME="$USERNAME" \
        PATH=/usr/local/bin:/usr/bin:/bin LANG=C.UTF-8 TERM=dumb "${USER_ENV[@]}" \
        /bin/bash -lc "cd ~/trelvo && $1"
}

failed=0
summary=()
for command in scripts/demo.sh scripts/test.sh; do
    log "$command"
    start=$SECONDS
    status=0
    run_as_user "$command" 2>&1 | tee -a "$LOG" || status=$?
    summary+=("$command: exit $status after $((SECONDS - start)) s")
    ((status == 0)) || failed=1
done

log "summary, Debian $RELEASE"
{
    printf '%s\n' "${summary[@]}"
    grep -E 'tests passed|tests failed|[0-9]+ passed|[0-9]+ failed' "$LOG" | grep -v '^==' || true
} | tee -a "$LOG"
echo "full log: $LOG"
exit "$failed"
