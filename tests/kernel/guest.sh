#!/bin/bash
# Runs as the kernel check's init, on the host's root file system (read-only): gives it the
# writable places, udev and the drivers, runs checks.py, writes its exit status where the host
# looks for it and powers off.
# One function, read whole before it runs: the file may change on the share meanwhile.
main() {
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
        sleep 60 2>/dev/null  # the power-off is under way; the share may already be gone
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
    echo "  [booted, udev running: $(cut -d' ' -f1 /proc/uptime) s after the kernel started]"
    export TRELVO_CHECK_BROWSER="$BROWSER"
    "$PROJECT/.venv/bin/python" "$PROJECT/tests/kernel/checks.py"
    finish $?
}
main
