#!/bin/sh
# Runs the silent-lookup cases of e2e_tests in a private mount namespace with a private copy of
# RESOLV_CONF as /etc/resolv.conf; the test writes into it the address of a name server that
# never answers (a UDP port the test holds open in silence). Needs root.
# usage: silent_lookup.sh RESOLV_CONF NSSWITCH_CONF WINE_RUN E2E_TESTS_EXE
unshare -m true 2>/dev/null || { echo "no private mount namespace here (needs root): skipped"; exit 77; }
dir=$(mktemp -d /tmp/zpv-silent-lookup.XXXXXX) || exit 1
cp "$1" "$dir/resolv.conf"
unshare -m sh -c 'mount --bind "$1" /etc/resolv.conf && mount --bind "$2" /etc/nsswitch.conf &&
  exec "$3" "$4" --gtest_filter="SilentLookup.*" --gtest_brief=1' sh "$dir/resolv.conf" "$2" "$3" "$4"
status=$?
rm -rf "$dir"
exit $status
