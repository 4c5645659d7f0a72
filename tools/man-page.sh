#!/usr/bin/env bash
# man-page.sh PROGRAM NAME SUMMARY > NAME.1 - a manual page from the same
# text as PROGRAM --help, so that the two never disagree.
set -euo pipefail
program=$1 name=$2 summary=$3
version=$("$program" --version | awk '{print $NF}')
printf '.TH %s 1 "" "%s %s" "User Commands"\n' "$(tr a-z A-Z <<<"$name")" "$name" "$version"
printf '.SH NAME\n%s \\- %s\n.SH DESCRIPTION\n.nf\n' "$name" "$summary"
# Lines that start with a dot or a quote would be read as requests.
"$program" --help | sed -e 's/\\/\\e/g' -e "s/^\\([.']\\)/\\\\\\&\\1/"
printf '.fi\n'
