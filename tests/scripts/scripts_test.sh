#!/usr/bin/env bash
# Tests of scripts/setup.sh and scripts/run.sh with stand-ins for the package
# tools and for cmake on PATH, so nothing is installed or built. setup.sh
# runs in a mount namespace of its own where /usr/sbin is an empty folder:
# the policy file it writes there never reaches the machine. Needs root and
# unshare; exits 77 (skipped) without them.
#   bash scripts_test.sh <source tree>
set -uo pipefail
root=$(cd "$1" && pwd)

passed=0
failed=0
check() {  # check <what> <command...>
  local what=$1
  shift
  if "$@"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAILED: $what" >&2
  fi
}

if [ "$(id -u)" -ne 0 ] || ! unshare -m true 2>/dev/null; then
  echo "skipped: needs root and unshare -m"
  exit 77
fi

work=$(mktemp -d /tmp/hv-scripts-XXXXXX)
trap 'rm -rf "$work"' EXIT
fakes=$work/bin
mkdir -p "$fakes"

# Nothing counts as installed.
printf '#!/bin/sh\nexit 1\n' >"$fakes/dpkg-query"
# Records, for each install, whether a policy file blocked services during it
# and what was asked for; fails when FAKE_APT_EXIT says so.
cat >"$fakes/apt-get" <<'EOF'
#!/bin/sh
[ "$1" = update ] && exit 0
if [ -x /usr/sbin/policy-rc.d ] && ! /usr/sbin/policy-rc.d; then
  echo "services: blocked" >>"$FAKE_APT_LOG"
else
  echo "services: free" >>"$FAKE_APT_LOG"
fi
echo "install: $*" >>"$FAKE_APT_LOG"
exit "${FAKE_APT_EXIT:-0}"
EOF
chmod 755 "$fakes"/*

# Runs setup.sh with the given arguments in a namespace whose /usr/sbin is
# empty, after `prepare` (shell code) has run there; leaves the install log in
# $work/apt.log, what /usr/sbin/policy-rc.d holds afterwards (or "none") in
# $work/policy.after and setup's exit code in $work/exit.
run_setup() {
  local prepare=$1
  shift
  rm -f "$work/apt.log" "$work/policy.after" "$work/exit"
  FAKE_APT_LOG=$work/apt.log PATH="$fakes:$PATH" unshare -m bash -c '
    mount -t tmpfs none /usr/sbin || exit 90
    eval "$1"
    shift
    bash "$@" >/dev/null 2>&1
    echo $? >"'"$work"'/exit"
    if [ -e /usr/sbin/policy-rc.d ]; then cat /usr/sbin/policy-rc.d; else echo none; fi \
      >"'"$work"'/policy.after"
  ' run_setup "$prepare" "$root/scripts/setup.sh" "$@"
}

# No policy file before: services are blocked during the install only.
run_setup ':'
check "setup succeeds" test "$(cat "$work/exit")" = 0
check "services blocked during the install" grep -qx "services: blocked" "$work/apt.log"
check "the policy file is gone afterwards" test "$(cat "$work/policy.after")" = none

# The install fails: the policy file goes all the same.
FAKE_APT_EXIT=100 run_setup ':'
check "a failed install fails setup" test "$(cat "$work/exit")" != 0
check "the policy file is gone after a failed install" test "$(cat "$work/policy.after")" = none

# The machine has a policy file of its own: used as it is, and kept.
own=$'#!/bin/sh\nexit 0'
run_setup "printf '%s\n' '$own' >/usr/sbin/policy-rc.d && chmod 755 /usr/sbin/policy-rc.d"
check "an existing policy file is used as it is" grep -qx "services: free" "$work/apt.log"
check "an existing policy file is kept unchanged" test "$(cat "$work/policy.after")" = "$own"

# The test set-up installs the packages of the outside programs the tests run,
# and clang with its fuzzing runtime for the fuzz targets.
run_setup ':' test
for package in iproute2 dnsmasq-base dovecot-pop3d python3 python3-dnspython python3-numpy perl clang \
    libclang-rt-dev; do
  check "setup test installs $package" grep -q "install: .* $package\( \|$\)" "$work/apt.log"
done

# run.sh builds every program target and starts the program with the
# arguments. cmake and setup are stand-ins; so is the built program.
tree=$work/tree
mkdir -p "$tree/scripts" "$tree/build/release/src/ui"
cp "$root/scripts/run.sh" "$tree/scripts/"
printf '#!/bin/sh\nexit 0\n' >"$tree/scripts/setup.sh"
printf '#!/bin/sh\necho "started $*"\n' >"$tree/build/release/src/ui/halvorn"
chmod 755 "$tree/build/release/src/ui/halvorn"
cat >"$fakes/cmake" <<'EOF'
#!/bin/sh
echo "$*" >>"$FAKE_CMAKE_LOG"
EOF
chmod 755 "$fakes/cmake"
output=$(FAKE_CMAKE_LOG=$work/cmake.log PATH="$fakes:$PATH" bash "$tree/scripts/run.sh" -Minimize)
check "run.sh starts the program with its arguments" test "$output" = "started -Minimize"
targets=" $(sed -n 's/.*--target //p' "$work/cmake.log" | tr '\n' ' ') "
for target in halvorn Launch QuorLspV6 halvorn-lsp-probe halvorn-intercept-wrapper; do
  check "run.sh builds $target" test "${targets#* $target }" != "$targets"
done

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
