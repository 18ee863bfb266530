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
