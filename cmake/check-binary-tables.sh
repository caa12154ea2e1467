#!/usr/bin/env bash
# Reads a PE binary's export and import tables with objdump -p: the exported names must be
# exactly the expected ones, undecorated, and every imported DLL must be a Windows system DLL
# (no mingw runtime DLL that a Windows machine would lack).
# Usage: check-binary-tables.sh OBJDUMP BINARY [EXPORT...]
set -euo pipefail
objdump=$1 binary=$2
shift 2
expected=$(printf '%s\n' "$@" | sed '/^$/d' | sort)

tables=$("$objdump" -p "$binary")

exported=$(awk '
  /^\[Ordinal\/Name Pointer\] Table/ { inside = 1; next }
  inside && /^[[:space:]]*$/ { inside = 0 }
  inside && /\[ *[0-9]+\]/ { print $NF }
' <<<"$tables" | sort)

status=0
if [[ "$exported" != "$expected" ]]; then
  echo "FAIL: $binary exports:"
  echo "${exported:-<nothing>}" | sed 's/^/  /'
  echo "expected:"
  echo "${expected:-<nothing>}" | sed 's/^/  /'
  status=1
fi

system_dll='^(kernel32|user32|gdi32|advapi32|setupapi|hid|winmm|shell32|shlwapi|ole32|oleaut32|msvcrt|ntdll|wtsapi32|cfgmgr32|version|rpcrt4|comctl32|ws2_32|api-ms-win-[a-z0-9-]+)\.dll$|^(ntoskrnl\.exe|hal\.dll|usbd\.sys|hidclass\.sys|hidparse\.sys)$'
while read -r dll; do
  [[ -z "$dll" ]] && continue
  if ! grep -qiE "$system_dll" <<<"$dll"; then
    echo "FAIL: $binary imports $dll, which is not a Windows system DLL"
    status=1
  fi
done < <(awk -F': ' '/DLL Name:/ { print $2 }' <<<"$tables")

if ((status == 0)); then
  echo "OK: $binary exports: $(echo $exported)"
fi
exit $status
