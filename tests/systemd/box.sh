# A box that boots a real systemd as its PID 1, for tests that need the
# service manager itself. Sourced by a test script running as root:
#
#   source tests/systemd/box.sh
#   box_boot             # boots; BOX_PID is its PID 1 as seen from here
#   box CMD [ARGS...]    # runs CMD in all of the box's namespaces
#   box_end              # SIGKILL to its PID 1, waits, removes its cgroup
#
# The box has namespaces of its own for processes, mounts, network (loopback
# only: nothing sent in there leaves the machine), host name, IPC and
# cgroups, and a cgroup of its own that its systemd sees as the root.
# systemd writes in /tmp, /var/tmp, /run, /var/log, /var/lib/systemd and
# /etc/systemd/system: each gets a fresh tmpfs of the box, and so do /dev,
# /opt, /home and /root (where tests put programs); the box refuses to boot
# unless each of them is one. /proc/sys and /sys are read-only, units that
# would touch the kernel, the hardware or the machine's files are masked,
# generators don't run, and capabilities that reach beyond the namespaces
# (the clock, kernel modules, raw I/O, the kernel log) are dropped.
#
# Two accounts exist in the box alone, kim (4711) and lee (4712): box-only
# copies of /etc/passwd, group and shadow are bound over the machine's files
# in the box's mount namespace.
#
# Its network is set up like scripts/isolate's: lo with the service's
# fallback addresses and a route for the limited broadcast, host name
# corvibox, a hosts file naming the update servers, and a resolver address
# where nothing answers.

BOX_PID=
BOX_HOLDER=
BOX_CGROUP=
BOX_CONSOLE=
BOX_SELF=${BASH_SOURCE[0]}

# What a systemd sharing the machine's kernel must not do, or cannot do in a
# box.
BOX_MASKED=(
  systemd-sysctl.service systemd-modules-load.service kmod-static-nodes.service
  systemd-udevd.service systemd-udevd-control.socket systemd-udevd-kernel.socket
  systemd-udev-trigger.service systemd-udev-settle.service
  systemd-random-seed.service systemd-tmpfiles-setup.service systemd-tmpfiles-setup-dev.service
  systemd-tmpfiles-clean.service systemd-tmpfiles-clean.timer
  systemd-sysusers.service systemd-hwdb-update.service ldconfig.service systemd-binfmt.service
  systemd-remount-fs.service systemd-update-utmp.service systemd-update-utmp-runlevel.service
  systemd-update-done.service systemd-journal-catalog-update.service systemd-journal-flush.service
  systemd-journald-audit.socket systemd-logind.service systemd-user-sessions.service
  systemd-firstboot.service systemd-machine-id-commit.service systemd-repart.service
  systemd-pcrphase.service systemd-pcrphase-sysinit.service systemd-pstore.service
  systemd-timesyncd.service systemd-ask-password-console.path systemd-ask-password-wall.path
  getty.target getty@.service serial-getty@.service console-getty.service
  emergency.service rescue.service dbus.socket dbus.service
  dev-hugepages.mount dev-mqueue.mount proc-sys-fs-binfmt_misc.automount
  proc-sys-fs-binfmt_misc.mount sys-fs-fuse-connections.mount sys-kernel-config.mount
  sys-kernel-debug.mount sys-kernel-tracing.mount tmp.mount swap.target
  cryptsetup.target integritysetup.target veritysetup.target timers.target
)

# Every place systemd writes, and where tests put their programs.
BOX_TMPFS=(/tmp /var/tmp /run /var/log /var/lib/systemd /etc/systemd/system /opt /home /root)

box_die() {
  echo "box: $*" >&2
  exit 1
}

box_boot() {
  [ "$(id -u)" -eq 0 ] || box_die "needs root"
  local tool
  for tool in unshare nsenter setpriv findmnt ip systemctl; do
    command -v "$tool" >/dev/null 2>&1 || box_die "'$tool' not found (see scripts/install-deps)"
  done
  [ -x /lib/systemd/systemd ] || box_die "no /lib/systemd/systemd (see scripts/install-deps)"
  local dir
  for dir in "${BOX_TMPFS[@]}"; do
    # A mount point is never made on the machine's own file system.
    [ -d "$dir" ] || box_die "$dir does not exist here"
  done

  local root
  if [ "$(stat -fc %T /sys/fs/cgroup)" = cgroup2fs ]; then
    root=/sys/fs/cgroup
  elif [ "$(stat -fc %T /sys/fs/cgroup/unified 2>/dev/null)" = cgroup2fs ]; then
    root=/sys/fs/cgroup/unified
  else
    box_die "no cgroup2 hierarchy mounted"
  fi
  local own label
  own=$(sed -n 's/^0:://p' /proc/self/cgroup)
  # Also the source of every tmpfs of the box: a mount with another source
  # is not the box's own.
  label=corvilink-box-$$-$RANDOM
  BOX_CGROUP=$root${own%/}/$label
  mkdir "$BOX_CGROUP" || box_die "cannot make the cgroup $BOX_CGROUP"
  BOX_CONSOLE=$(mktemp /tmp/corvilink-box-console.XXXXXX)

  local outer=() ns
  for ns in mnt net uts ipc cgroup; do outer+=("$(readlink "/proc/self/ns/$ns")"); done
  # The holder moves itself into the cgroup and becomes unshare, whose child
  # is the box's PID 1. The parent-death signal and --kill-child: when this
  # shell dies, so does the box.
  (
    echo 0 >"$BOX_CGROUP/cgroup.procs"
    exec setpriv --pdeathsig KILL -- unshare --cgroup --pid --fork --kill-child --mount --net --uts --ipc \
      --mount-proc --propagation private -- bash "$BOX_SELF" --inside "$label" "$BOX_CONSOLE" "${outer[@]}"
  ) </dev/null >>"$BOX_CONSOLE" 2>&1 &
  BOX_HOLDER=$!

  local i child
  for i in $(seq 100); do
    child=$(cat "/proc/$BOX_HOLDER/task/$BOX_HOLDER/children" 2>/dev/null || true)
    child=${child%% *}
    [ -n "$child" ] && break
    kill -0 "$BOX_HOLDER" 2>/dev/null || break
    sleep 0.05
  done
  [[ "$child" =~ ^[1-9][0-9]*$ ]] && [ "$child" -gt 1 ] || {
    box_console >&2
    box_die "the box did not start"
  }
  BOX_PID=$child

  local state= systemd
  systemd=$(readlink -f /lib/systemd/systemd)
  for i in $(seq 200); do
    kill -0 "$BOX_HOLDER" 2>/dev/null || break
    if [ "$(readlink "/proc/$BOX_PID/exe" 2>/dev/null)" = "$systemd" ]; then
      state=$(box systemctl is-system-running 2>/dev/null || true)
      case "$state" in running | degraded) break ;; esac
    fi
    sleep 0.1
  done
  case "$state" in
    running) ;;
    degraded)
      box systemctl --failed --no-legend --no-pager >&2 || true
      box_die "the box booted degraded"
      ;;
    *)
      box_console >&2
      box_die "the box did not boot (state: ${state:-none})"
      ;;
  esac
}

# Runs a command in all of the box's namespaces, in its root cgroup.
box() {
  [ -n "$BOX_PID" ] || box_die "no box"
  nsenter -t "$BOX_PID" -m -p -n -u -i -C -- "$@"
}

# What the box wrote before its journal ran, and PID 1 to its console.
box_console() {
  [ -n "$BOX_CONSOLE" ] && cat "$BOX_CONSOLE"
}

box_end() {
  if [ -n "$BOX_HOLDER" ] && kill -0 "$BOX_HOLDER" 2>/dev/null; then
    # The PID 1 by its own process id, and only while it is the holder's
    # child: everything in the box ends with it, and with the holder.
    if [ -n "$BOX_PID" ] && [ "$BOX_PID" -gt 1 ] &&
      [ "$(awk '/^PPid:/ {print $2}' "/proc/$BOX_PID/status" 2>/dev/null)" = "$BOX_HOLDER" ]; then
      kill -KILL "$BOX_PID" 2>/dev/null || true
    else
      kill -KILL "$BOX_HOLDER" 2>/dev/null || true
    fi
  fi
  [ -n "$BOX_HOLDER" ] && { wait "$BOX_HOLDER" 2>/dev/null || true; }
  if [ -n "$BOX_CGROUP" ] && [ -d "$BOX_CGROUP" ]; then
    # The kernel takes a moment to empty the cgroups of the dead.
    local i
    for i in $(seq 50); do
      find "$BOX_CGROUP" -depth -type d -exec rmdir {} + 2>/dev/null || true
      [ -d "$BOX_CGROUP" ] || break
      sleep 0.1
    done
    [ -d "$BOX_CGROUP" ] && echo "box: could not remove $BOX_CGROUP" >&2
  fi
  [ -n "$BOX_CONSOLE" ] && rm -f "$BOX_CONSOLE"
  BOX_PID=
  BOX_HOLDER=
  BOX_CGROUP=
  BOX_CONSOLE=
}

# ---------------------------------------------------------------------------
# The box's PID 1 until systemd takes its place.
if [ "${1:-}" = --inside ]; then
  set -euo pipefail
  label=$2
  console=$3
  shift 3
  fail() {
    echo "box: $*" >&2
    exit 1
  }

  # Nothing below may run in the machine's own namespaces.
  [ "$$" -eq 1 ] || fail "not PID 1 of a namespace of its own"
  for ns in mnt net uts ipc cgroup; do
    [ "$(readlink "/proc/self/ns/$ns")" != "$1" ] || fail "no $ns namespace of its own"
    shift
  done
  mount --make-rprivate /
  # Opened in this mount namespace, before /tmp is covered.
  exec 3>>"$console"

  for dir in "${BOX_TMPFS[@]}"; do
    mode=0755
    case "$dir" in /tmp | /var/tmp) mode=1777 ;; esac
    mount -t tmpfs -o "mode=$mode,nosuid,nodev,size=64m" "$label" "$dir"
    [ -z "$(ls -A "$dir")" ] || fail "$dir is not empty after mounting"
  done
  mkdir /run/corvilink-box

  # The kernel's settings and the machine's devices stay out of reach.
  mount --bind /proc/sys /proc/sys
  mount -o remount,bind,ro /proc/sys
  if [ -e /proc/sysrq-trigger ]; then
    mount --bind /proc/sysrq-trigger /proc/sysrq-trigger
    mount -o remount,bind,ro /proc/sysrq-trigger
  fi
  mount -t sysfs -o ro,nosuid,nodev,noexec sysfs /sys
  # Mounted in the cgroup namespace: its root is the box's cgroup.
  mount -t cgroup2 -o nosuid,nodev,noexec cgroup2 /sys/fs/cgroup

  # A /dev of its own: systemd makes links and sockets there (/dev/log).
  mount -t tmpfs -o mode=0755,nosuid,size=1m "$label" /dev
  mknod -m 0666 /dev/null c 1 3
  mknod -m 0666 /dev/zero c 1 5
  mknod -m 0666 /dev/full c 1 7
  mknod -m 0666 /dev/random c 1 8
  mknod -m 0666 /dev/urandom c 1 9
  mknod -m 0666 /dev/tty c 5 0
  mkdir /dev/pts /dev/shm
  mount -t devpts -o newinstance,ptmxmode=0666,mode=0620,nosuid,noexec devpts /dev/pts
  ln -s pts/ptmx /dev/ptmx
  mount -t tmpfs -o mode=1777,nosuid,nodev,size=16m "$label" /dev/shm
  ln -s /proc/self/fd /dev/fd
  ln -s /proc/self/fd/0 /dev/stdin
  ln -s /proc/self/fd/1 /dev/stdout
  ln -s /proc/self/fd/2 /dev/stderr
  # The console is the file out there, for the test to show.
  touch /dev/console
  mount --no-canonicalize --bind /proc/self/fd/3 /dev/console

  # Loopback only.
  ip link set lo up
  [ "$(ip -o link show | wc -l)" -eq 1 ] || fail "more than loopback in the network namespace"
  for addr in 192.0.2.10/32 198.51.100.10/32 203.0.113.10/32; do
    ip addr add "$addr" dev lo
  done
  ip route add broadcast 255.255.255.255 dev lo table local scope link src 127.0.0.1
  hostname corvibox
  printf 'corvibox\n' >/run/corvilink-box/hostname
  printf '%s\n' '127.0.0.1 localhost' '127.0.1.1 corvibox' \
    '127.0.0.21 update1.corvilink.example' '127.0.0.22 update2.corvilink.example' \
    '127.0.0.23 update3.corvilink.example' '127.0.0.24 update4.corvilink.example' \
    '127.0.0.60 ipv6.corvilink.example' >/run/corvilink-box/hosts
  printf 'nameserver 127.0.0.1\n' >/run/corvilink-box/resolv.conf
  if [ -f /etc/nsswitch.conf ]; then
    grep -v -E '^[[:space:]]*hosts[[:space:]]*:' /etc/nsswitch.conf >/run/corvilink-box/nsswitch.conf || true
  fi
  printf 'hosts: files dns\n' >>/run/corvilink-box/nsswitch.conf
  for f in hostname hosts resolv.conf nsswitch.conf; do
    [ -e "/etc/$f" ] || fail "/etc/$f does not exist here"
    # mount follows a symbolic link to its target, as readers do.
    mount --bind "/run/corvilink-box/$f" "/etc/$f"
  done

  # Accounts that exist only in the box: kim and lee, each with a group of
  # the same name. No one of the machine's own is named or numbered so.
  for f in passwd group shadow; do
    install -m 0644 /dev/null "/run/corvilink-box/$f"
    [ "$f" = shadow ] && chmod 0640 "/run/corvilink-box/$f"
    awk -F: '$1 != "kim" && $1 != "lee" && $3 != 4711 && $3 != 4712' "/etc/$f" >"/run/corvilink-box/$f"
  done
  printf '%s\n' 'kim:x:4711:4711:Kim:/home/kim:/bin/sh' 'lee:x:4712:4712:Lee:/home/lee:/bin/sh' \
    >>/run/corvilink-box/passwd
  printf '%s\n' 'kim:x:4711:' 'lee:x:4712:' >>/run/corvilink-box/group
  printf '%s\n' 'kim:!:20000::::::' 'lee:!:20000::::::' >>/run/corvilink-box/shadow
  for f in passwd group shadow; do
    mount --bind "/run/corvilink-box/$f" "/etc/$f"
  done

  for unit in "${BOX_MASKED[@]}"; do
    ln -s /dev/null "/etc/systemd/system/$unit"
  done
  printf '%s\n' '[Unit]' 'Description=The test box' 'Requires=basic.target' 'After=basic.target' \
    >/etc/systemd/system/corvilink-box.target
  mkdir /run/corvilink-box/generators

  # The last look before the boot.
  for dir in "${BOX_TMPFS[@]}" /dev; do
    top=$(findmnt -n -r -o FSTYPE,SOURCE --mountpoint "$dir" | tail -n 1)
    [ "$top" = "tmpfs $label" ] || fail "$dir is not a tmpfs of the box (${top:-no mount}): no boot"
  done
  for dir in /proc/sys /sys; do
    findmnt -n -r -o OPTIONS --mountpoint "$dir" | tail -n 1 | grep -q -E '(^|,)ro(,|$)' ||
      fail "$dir is writable: no boot"
  done

  exec </dev/null >/dev/console 2>&1 3>&-
  exec setpriv --bounding-set -sys_time,-sys_module,-sys_rawio,-syslog,-wake_alarm,-sys_boot --inh-caps=-all \
    env -i container=corvilink-box PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    SYSTEMD_GENERATOR_PATH=/run/corvilink-box/generators \
    SYSTEMD_ENVIRONMENT_GENERATOR_PATH=/run/corvilink-box/generators \
    /lib/systemd/systemd --system --unit=corvilink-box.target --log-target=journal
fi
