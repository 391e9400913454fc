#!/bin/sh
# Runs a test program with a fresh, empty home folder of its own, so that the log file and the
# preferences file it sees are its own; it is its temporary folder too, so that tests running at
# the same time never pick the same temporary file. The folder is removed afterwards.
home=$(mktemp -d "${TMPDIR:-/tmp}/signflux-test-home.XXXXXX") || exit 1
HOME="$home"
TMPDIR="$home"
export HOME TMPDIR
unset XDG_CONFIG_HOME
"$@"
status=$?
rm -rf "$home"
exit $status
