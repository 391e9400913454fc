#!/bin/sh
# Runs a test program with a fresh, empty home folder of its own, so that the log file and the
# preferences file it sees are its own. The folder is removed afterwards.
home=$(mktemp -d "${TMPDIR:-/tmp}/signflux-test-home.XXXXXX") || exit 1
HOME="$home"
export HOME
unset XDG_CONFIG_HOME
"$@"
status=$?
rm -rf "$home"
exit $status
