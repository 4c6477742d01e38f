#!/bin/sh
# The suite's fixture: makes the Wine prefix in $WINEPREFIX if it is not made
# yet, then leaves a wineserver running for 30 s past its last client, with
# Wine's own background processes started, so that the tests after it find
# Wine warm (cold, each first start in the emulated machine takes seconds).
# Those background processes keep whatever output they are given until the
# server ends, so they get the log file $1, not the test runner's pipe.
log=$1
{
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "making the Wine prefix $WINEPREFIX"
    wineboot -i && wineserver -w || exit 1
  fi
  # Fails when a server is still running from an earlier run: that one is
  # warm already.
  wineserver -p30 || echo "(a wineserver was running already)"
  wineboot -i
} </dev/null >"$log" 2>&1 || { cat "$log"; echo "the Wine prefix $WINEPREFIX could not be made or started"; exit 1; }
