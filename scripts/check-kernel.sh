#!/usr/bin/env bash
# Runs trelvo against real Linux drivers: boots Debian's own kernel in QEMU with this machine's
# root file system (read-only) and the project (read-write, at the same path) shared over 9p,
# loads vivid and v4l2loopback, and runs tests/kernel/checks.py inside: one PASS/FAIL line per
# check, non-zero exit on any failure. --browser adds Chromium reading the virtual camera.
# Needs root (it installs packages and the guest uses the host's tools); without root it says so
# and exits 0. Downloads and builds are cached under build/kernel/.
# TRELVO_VM_ACCEL=kvm|tcg overrides the choice of acceleration (KVM only when the CPU shows vmx/svm).
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BROWSER=0
for arg in "$@"; do
    case "$arg" in
        --browser) BROWSER=1 ;;
        *) echo "usage: $0 [--browser]" >&2; exit 2 ;;
    esac
done

if [ "$(id -u)" -ne 0 ]; then
    echo "kernel check skipped: it needs root (packages, a kernel module build, QEMU with the host's root file system); run it as root"
    exit 0
fi
cannot_run() {
    echo "kernel check cannot run: $*" >&2
    exit 1
}
now() { date +%s.%N; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.1f", b - a }'; }

# scripts/test.sh has set the machine up already; alone, this sets it up (and builds trelvo).
if [ "${TRELVO_SETUP_DONE:-}" = 1 ]; then
    TRELVO_SETUP_FUNCTIONS_ONLY=1 source "$ROOT/scripts/setup.sh"
else
    source "$ROOT/scripts/setup.sh"
fi
[ -x "$ROOT/.venv/bin/trelvo" ] || cannot_run "$ROOT/.venv has no trelvo: run scripts/setup.sh"

T0="$(now)"
PACKAGES=(qemu-system-x86 busybox-static cpio kmod udev v4l-utils ffmpeg gstreamer1.0-tools
          gstreamer1.0-plugins-good)
[ "$BROWSER" = 1 ] && PACKAGES+=(chromium)
( install_debian_packages "${PACKAGES[@]}" ) || cannot_run "Debian packages unreachable (${PACKAGES[*]})"
# The kernel Debian currently ships, whatever this machine runs.
VERSION="$(apt-cache depends linux-image-amd64 2>/dev/null | sed -n 's/^ *Depends: linux-image-\(.*-amd64\)$/\1/p' | head -1)"
[ -n "$VERSION" ] || { apt_update_once; VERSION="$(apt-cache depends linux-image-amd64 2>/dev/null | sed -n 's/^ *Depends: linux-image-\(.*-amd64\)$/\1/p' | head -1)"; }
[ -n "$VERSION" ] || cannot_run "Debian's package lists name no linux-image-amd64 kernel (packages unreachable?)"
( install_debian_packages "linux-headers-$VERSION" ) || cannot_run "Debian packages unreachable (linux-headers-$VERSION)"

CACHE="$ROOT/build/kernel/$VERSION"
IMAGE="$CACHE/image"
MODULES="$IMAGE/lib/modules/$VERSION"
mkdir -p "$CACHE"
download() {  # package -> the unpacked tree under $CACHE
    local package="$1" dest="$2"
    [ -e "$dest/.unpacked" ] && return 0
    rm -rf "$CACHE/debs" "$dest" && mkdir -p "$CACHE/debs" "$dest"
    # apt's sandbox user cannot write into the project; the download is made as root.
    (cd "$CACHE/debs" && apt-get download -o APT::Sandbox::User=root "$package" >/dev/null) \
        || cannot_run "cannot download $package from Debian (packages unreachable?)"
    dpkg-deb -x "$CACHE"/debs/*.deb "$dest"
    rm -rf "$CACHE/debs"
    touch "$dest/.unpacked"
}
download "linux-image-$VERSION" "$IMAGE"
download v4l2loopback-dkms "$CACHE/v4l2loopback"
echo "== kernel $VERSION: packages ready ($(since "$T0") s)"

T1="$(now)"
LOOPBACK_KO="$MODULES/updates/v4l2loopback.ko"
if [ ! -e "$LOOPBACK_KO" ]; then
    src=("$CACHE"/v4l2loopback/usr/src/v4l2loopback-*)
    [ -d "${src[0]}" ] || cannot_run "v4l2loopback-dkms has no source folder"
    rm -rf "$CACHE/v4l2loopback-build" && cp -r "${src[0]}" "$CACHE/v4l2loopback-build"
    make -s -C "/lib/modules/$VERSION/build" M="$CACHE/v4l2loopback-build" modules >"$CACHE/v4l2loopback-build.log" 2>&1 \
        || { tail -20 "$CACHE/v4l2loopback-build.log" >&2; cannot_run "v4l2loopback did not build for $VERSION"; }
    mkdir -p "$MODULES/updates"
    cp "$CACHE/v4l2loopback-build/v4l2loopback.ko" "$LOOPBACK_KO"
    depmod -b "$IMAGE" "$VERSION"
fi
echo "== v4l2loopback built for $VERSION ($(since "$T1") s)"

# The initramfs: busybox, the modules that mount the 9p shares, and the init that switches root.
INITRD="$CACHE/initrd.cpio"
if [ ! -e "$INITRD" ] || [ "$ROOT/tests/kernel/init" -nt "$INITRD" ] || [ "$0" -nt "$INITRD" ]; then
    staging="$CACHE/initrd" && rm -rf "$staging" && mkdir -p "$staging"/{bin,dev,proc,sys,newroot,modules}
    cp /bin/busybox "$staging/bin/busybox"
    cp "$ROOT/tests/kernel/init" "$staging/init" && chmod 755 "$staging/init"
    for module in virtio_pci 9pnet_virtio 9p; do modprobe -d "$IMAGE" -S "$VERSION" --show-depends "$module"; done \
        | awk '$1 == "insmod" { print $2 }' | awk '!seen[$0]++' | while read -r ko; do
            cp "$ko" "$staging/modules/" && basename "$ko" >>"$staging/modules/order"
        done
    (cd "$staging" && find . | cpio -o -H newc --quiet >"$INITRD")
fi

ACCEL="${TRELVO_VM_ACCEL:-}"
if [ -z "$ACCEL" ]; then
    # /dev/kvm can exist without hardware virtualization behind it; a stock kernel never boots there.
    if grep -qE '\b(vmx|svm)\b' /proc/cpuinfo && [ -w /dev/kvm ]; then ACCEL=kvm; else ACCEL=tcg; fi
fi
case "$ACCEL" in
    kvm) ACCEL_ARGS=(-accel kvm -cpu host) ;;
    tcg) ACCEL_ARGS=(-accel tcg,thread=multi -cpu max) ;;
    *) echo "TRELVO_VM_ACCEL is kvm or tcg, not $ACCEL" >&2; exit 2 ;;
esac
MEMORY=1536
[ "$BROWSER" = 1 ] && MEMORY=3072
RESULT="$CACHE/result"
rm -f "$RESULT"
echo "== booting $VERSION under QEMU ($ACCEL, 2 CPUs)"
T2="$(now)"
# The guest powers itself off; the timeout only ends a guest that hung.
timeout $((BROWSER ? 900 : 600)) qemu-system-x86_64 "${ACCEL_ARGS[@]}" -smp 2 -m "$MEMORY" -nodefaults -display none \
    -no-reboot -serial stdio \
    -kernel "$IMAGE/boot/vmlinuz-$VERSION" -initrd "$INITRD" \
    -append "console=ttyS0 quiet loglevel=3 panic=-1 trelvo.project=$ROOT trelvo.version=$VERSION trelvo.browser=$BROWSER" \
    -virtfs "local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap" \
    -virtfs "local,path=$ROOT,mount_tag=project,security_model=none,multidevs=remap" </dev/null \
    || echo "QEMU ended with status $?"
echo "== the VM ran $(since "$T2") s (whole check $(since "$T0") s)"
[ -s "$RESULT" ] || { echo "FAIL: the guest reported no result (it did not boot or hung)"; exit 1; }
status="$(cat "$RESULT")"
[ "$status" = 0 ] || { echo "FAIL: the kernel check failed"; exit 1; }
echo "kernel check passed"
