#!/bin/sh
# Runs the silent-lookup cases of e2e_tests in a private mount namespace whose resolv.conf points
# at a name server that never answers (the test itself holds that UDP port open). Needs root.
# usage: silent_lookup.sh RESOLV_CONF NSSWITCH_CONF WINE_RUN E2E_TESTS_EXE
unshare -m true 2>/dev/null || { echo "no private mount namespace here (needs root): skipped"; exit 77; }
exec unshare -m sh -c 'mount --bind "$1" /etc/resolv.conf && mount --bind "$2" /etc/nsswitch.conf &&
  exec "$3" "$4" --gtest_filter="SilentLookup.*" --gtest_brief=1' sh "$@"
