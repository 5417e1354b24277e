#!/bin/sh
# Starts a program with Halvorn's interception library preloaded, so its
# POP3 and SMTP connections are put to the running Halvorn first.
# Usage: halvorn-intercept PROGRAM [ARGUMENTS...]
dir=$(dirname "$(readlink -f "$0")")
if [ -z "$HALVORN_LSP_KEY" ] && [ -r "$dir/QuorLspV6.key" ]; then
  HALVORN_LSP_KEY=$(cat "$dir/QuorLspV6.key")
fi
LD_PRELOAD="$dir/libQuorLspV6.so${LD_PRELOAD:+ $LD_PRELOAD}"
export HALVORN_LSP_KEY LD_PRELOAD
exec "$@"
