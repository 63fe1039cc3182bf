#!/bin/sh
# Exports the serial number and asset tag of one unit and reports the outcome.
# Usage: export-unit.sh FRU_DESCRIPTION REPORT
# tessolin is taken from PATH.
if tessolin "$1" "$2"; then
    echo "tessolin exit status 0: report written to $2"
else
    echo "tessolin exit status $?: no report for $1"
    exit 1
fi
