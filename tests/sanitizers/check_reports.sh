#!/bin/sh
# Fails, printing them, when a sanitizer wrote any report into the folder.
dir=$1
reports=$(find "$dir" -type f 2>/dev/null)
[ -z "$reports" ] && { echo "sanitizers: no reports"; exit 0; }
for f in $reports; do
    echo "==== $f"
    cat "$f"
done
echo "sanitizers: $(echo "$reports" | wc -l) report(s)"
exit 1
