#!/usr/bin/env python3
"""tsan-races.py LOG... - counts ThreadSanitizer reports, and those of them
that race in a frame of the library.

GLib's own locks are futexes that ThreadSanitizer cannot see, so a run
over GLib reports races inside GLib.  A race belongs to the library when
the first frame of either access, past the sanitizer's interceptors, is
in the library's sources (src/ or platform/).  Exits 1 when there is one.
"""
import re
import sys

ACCESS = re.compile(r'^\s+(Read|Write|Previous read|Previous write|Atomic \w+|Previous atomic \w+) of size')
FRAME = re.compile(r'^\s+#\d+ ')
OURS = re.compile(r'/(src|platform)/[\w./-]+\.(c|cpp|h):\d+')

total, ours = 0, []
for path in sys.argv[1:]:
    report, first_frame_wanted = None, False
    for line in open(path, errors='replace'):
        if 'WARNING: ThreadSanitizer' in line:
            total += 1
            report, first_frame_wanted = [line.rstrip()], False
            continue
        if report is None:
            continue
        report.append(line.rstrip())
        if ACCESS.match(line):
            first_frame_wanted = True
        elif first_frame_wanted and FRAME.match(line) and 'libtsan' not in line:
            first_frame_wanted = False
            if OURS.search(line):
                ours.append('\n'.join(report))
                report = None
        elif line.startswith('SUMMARY:'):
            report = None

print(f'ThreadSanitizer: {total} reports, {len(ours)} in a frame of the library')
for r in ours:
    print(r, '\n')
sys.exit(1 if ours else 0)
