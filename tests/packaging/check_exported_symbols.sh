#!/usr/bin/env bash
# Checks the dynamic symbol table of an installed libnative64: it carries the SONAME of its major
# version, every member listed in exported_members.txt, and nothing outside the library's boundary
# (the exported classes and free functions and the four exported container instantiations), so no
# internal helper and no standard-library template instantiated inside the library leaks.
# Usage: check_exported_symbols.sh LIBRARY MAJOR_VERSION EXPECTED_MEMBERS_FILE
set -euo pipefail
library=$1 major=$2 expected=$3
status=0

soname=$(objdump -p "$library" | awk '$1 == "SONAME" { print $2 }')
if [ "$soname" != "libnative64.so.$major" ]; then
  echo "SONAME is '$soname', expected libnative64.so.$major" >&2
  status=1
fi

# Mangled-name prefixes of the boundary; Native64 names must start with a capital, which keeps the
# internal namespace detail out.
boundary='^(_ZNK?6Oskelo2CV8Native64[0-9]+[A-Z]'
boundary+='|_ZNK?8Tarnwell6Native2CV'
boundary+='|_ZNK?St6vectorIN2cv6Point_IdEESaIS2_EE'
boundary+='|_ZNK?St6vectorIN2cv7Point3_IdEESaIS2_EE'
boundary+='|_ZNK?St6vectorIS_IN2cv6Point_IdEESaIS2_EESaIS4_EE'
boundary+='|_ZNK?2cv5Rect_IiE'
boundary+='|NATIVE64_0$)'
symbols=$(nm -D --defined-only "$library" | awk '{ print $NF }' | sed 's/@.*//')
foreign=$(grep -Ev "$boundary" <<<"$symbols" || true)
if [ -n "$foreign" ]; then
  echo "symbols outside the library's boundary:" >&2
  c++filt <<<"$foreign" >&2
  status=1
fi

demangled=$(c++filt <<<"$symbols")
while IFS= read -r member; do
  [[ -z "$member" || "$member" == \#* ]] && continue
  if ! grep -qF -- "$member" <<<"$demangled"; then
    echo "missing exported member: $member" >&2
    status=1
  fi
done <"$expected"

[ $status -eq 0 ] && echo "$(wc -l <<<"$symbols") dynamic symbols, all on the boundary"
exit $status
