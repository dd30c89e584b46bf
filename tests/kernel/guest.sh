#!/bin/bash
# Runs as the kernel check's init, on the host's root file system (read-only): gives it the
# writable places, udev and the drivers, runs checks.py, writes its exit status where the host
# looks for it and powers off.
PROJECT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
for word in $(cat /proc/cmdline); do
    case "$word" in
        trelvo.version=*) VERSION="${word#trelvo.version=}" ;;
        trelvo.browser=*) BROWSER="${word#trelvo.browser=}" ;;
    esac
done
RESULT="$PROJECT/build/kernel/$VERSION/result"
finish() {
    echo "$1" >"$RESULT"
    sync
    echo o >/proc/sysrq-trigger
    sleep 60
}
export PATH="$PROJECT/.venv/bin:/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
export HOME=/tmp LANG=C.UTF-8
mkdir -p /dev/shm /dev/pts
for dir in /tmp /run /var/tmp /dev/shm; do mount -t tmpfs -o mode=1777 tmpfs "$dir"; done
mount -t devpts devpts /dev/pts
# The guest's modules: the kernel package's tree, with v4l2loopback built for it.
mount --bind "$PROJECT/build/kernel/$VERSION/image/lib/modules" /lib/modules
ip link set lo up 2>/dev/null || ifconfig lo up 2>/dev/null

/lib/systemd/systemd-udevd --daemon --resolve-names=never >/dev/null 2>&1 || { echo "FAIL: udev did not start"; finish 1; }
export TRELVO_CHECK_BROWSER="$BROWSER"
"$PROJECT/.venv/bin/python" "$PROJECT/tests/kernel/checks.py"
finish $?
