# shellcheck shell=sh
# What the scripts share (POSIX sh). Sourced from the repository root:
#   . scripts/lib.sh
# quietly and apt_install keep the output of their last step in $LOG, which
# the sourcing script sets.

# Runs a step with its output in $LOG; shows the log only when it fails.
quietly() {
  if ! "$@" >"$LOG" 2>&1; then
    cat "$LOG" >&2
    return 1
  fi
}

# Runs its arguments as root: directly, or through sudo.
as_root() {
  if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi
}

# Installs Debian packages with apt-get, non-interactively and without the
# recommended ones.
apt_install() {
  # A mirror in the middle of a sync fails some index; what it did fetch may still do.
  as_root apt-get update -qq >"$LOG" 2>&1 || true
  quietly as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    -o DPkg::Lock::Timeout=300 "$@"
}

# Lets the kernel run 32-bit ARM programs through qemu-user-static, with the
# registration Debian's qemu-user-static ships (flag F: the interpreter is
# opened once here, so it also serves programs inside a chroot of another
# root). Mounts binfmt_misc when nothing has, and replaces an earlier
# registration of qemu-arm that differs.
register_qemu_arm() {
  binfmt=/proc/sys/fs/binfmt_misc
  conf=/usr/lib/binfmt.d/qemu-arm.conf
  [ -e "$binfmt/register" ] || as_root mount -t binfmt_misc binfmt_misc "$binfmt" || return 1
  interpreter=$(awk -F: '{ print $7 }' "$conf")
  if [ -e "$binfmt/qemu-arm" ]; then
    if grep -qx "interpreter $interpreter" "$binfmt/qemu-arm" && grep -q '^flags: .*F' "$binfmt/qemu-arm"; then
      return 0
    fi
    echo -1 | as_root tee "$binfmt/qemu-arm" >/dev/null
  fi
  as_root tee "$binfmt/register" <"$conf" >/dev/null
}
