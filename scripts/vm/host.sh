# Sourced by the run scripts: does this host run 32-bit programs, and so Wine, itself?
# Where it cannot (a kernel without IA-32 emulation), what runs under Wine goes into an
# emulated machine instead (scripts/vm/run.sh). CW_FORCE_VM=1 is a developer switch that
# takes that road on any host, so it can be tried where 32-bit code does run.

# Succeeds when a 32-bit program starts here.
cw_host_runs_32bit() {
  if [ -x /lib/ld-linux.so.2 ]; then
    /lib/ld-linux.so.2 --version >/dev/null 2>&1
    return
  fi
  # Before the 32-bit C library is installed: a minimal 32-bit program that only exits with 0.
  local dir f status
  for dir in "${TMPDIR:-/tmp}" /var/tmp /dev/shm; do
    f=$(mktemp "$dir/cw-probe.XXXXXX" 2>/dev/null) || continue
    printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00' >"$f"
    printf '\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00' >>"$f"
    printf '\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00' >>"$f"
    printf '\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08' >>"$f"
    printf '\x00\x80\x04\x08\x5b\x00\x00\x00\x5b\x00\x00\x00\x05\x00\x00\x00' >>"$f"
    printf '\x00\x10\x00\x00\x31\xdb\x31\xc0\x40\xcd\x80' >>"$f"
    chmod 700 "$f"
    "$f" >/dev/null 2>&1
    status=$?
    if [ "$status" != 0 ]; then
      # A folder mounted noexec refuses any program: that says nothing about the processor.
      printf '#!/bin/sh\nexit 0\n' >"$f"
      if ! "$f" >/dev/null 2>&1; then
        rm -f "$f"
        continue
      fi
    fi
    rm -f "$f"
    return "$status"
  done
  return 0
}

# Succeeds when the Wine part must run inside the emulated machine (never inside it).
cw_vm_needed() {
  [ "${CW_IN_VM:-}" = 1 ] && return 1
  [ "${CW_FORCE_VM:-}" = 1 ] && return 0
  ! cw_host_runs_32bit
}

# Where the machine is needed: says so in one line, once per run, and scales every test wait
# and limit (the build's configure reads the factor) unless the caller chose a factor.
cw_vm_begin() {
  export CW_TEST_TIME_SCALE="${CW_TEST_TIME_SCALE:-4}"
  [ "${CW_VM_ANNOUNCED:-}" = 1 ] && return 0
  export CW_VM_ANNOUNCED=1
  if [ "${CW_FORCE_VM:-}" = 1 ]; then
    echo "== CW_FORCE_VM=1: running Wine inside an emulated machine (QEMU), as on a host without 32-bit support; several times slower." >&2
  else
    echo "== This host cannot run 32-bit programs, so Wine runs inside an emulated machine (QEMU); several times slower." >&2
  fi
}
