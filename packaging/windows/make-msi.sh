#!/usr/bin/env bash
# Makes tarnel.msi: tarnel.dll (and the mesh preview's DLLs, when the Windows build has them) under
# Program Files\tarnel, with the registry entries that registering the module writes, generated from the
# module's own registration script and type library: our registrar applies them to a hive of its own (the
# Linux build's `tarnel register`, which walks the same script), and each key and value of that hive
# becomes a row of the installer's Registry table, the module's path written as the installed file's. The
# installer therefore runs none of tarnel's code, and uninstalling takes away exactly those rows.
#
#   make-msi.sh WINDOWS_BUILD LINUX_BUILD
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
win=$(readlink -f "$1")
linux=$(readlink -f "$2")
work=$win/msi
rm -rf "$work"
mkdir -p "$work"

# The registration as the registrar writes it, with a module path that stands out.
TARNEL_REGISTRY=$work/registration.reg "$linux/bin/tarnel" register "$linux/lib/libtarnel.so" >/dev/null
module=$linux/lib/libtarnel.so

# What is installed, without the debugging information of the build (msi/stage).
mkdir -p "$work/stage"
files=("$win/tarnel.dll")
if [ -f "$win/tarnelmesh.dll" ]; then
    while IFS= read -r f; do files+=("$f"); done < <(find "$win/mesh-runtime" -maxdepth 1 -name '*.dll' 2>/dev/null | sort)
    files+=("$win/tarnelmesh.dll")
fi
for i in "${!files[@]}"; do
    x86_64-w64-mingw32-strip --strip-debug -o "$work/stage/$(basename "${files[$i]}")" "${files[$i]}"
    files[$i]=$work/stage/$(basename "${files[$i]}")
done

{
    sed -n '1,/@FILES@/p' "$here/tarnel.wxs.in" | sed '$d'
    n=0
    for f in "${files[@]}"; do
        id=$(basename "$f" | tr -c 'A-Za-z0-9_.\n' '_')
        [ "$id" = tarnel.dll ] && continue
        n=$((n + 1))
        printf '          <Component Id="c%d" Guid="*" Win64="yes"><File Id="%s" Source="%s" KeyPath="yes"/></Component>\n' \
            "$n" "$id" "${f#"$win"/}"
    done
    printf '          <Component Id="tarnel.dll" Guid="*" Win64="yes">\n'
    printf '            <File Id="tarnel.dll" Source="msi/stage/tarnel.dll" KeyPath="yes"/>\n'
    tr -d '\r' <"$work/registration.reg" | MODULE="$module" awk '
        function xml(s) { gsub(/&/, "\\&amp;", s); gsub(/</, "\\&lt;", s); gsub(/>/, "\\&gt;", s); gsub(/"/, "\\&quot;", s); return s }
        # The Registry table holds formatted text: brackets are written as [\[] and [\]].
        function formatted(s) { gsub(/\[/, "\001", s); gsub(/\]/, "\002", s); gsub(/\001/, "[\\[]", s); gsub(/\002/, "[\\]]", s); return s }
        function unreg(s) { gsub(/\\\\/, "\001", s); gsub(/\\"/, "\"", s); gsub(/\001/, "\\", s); return s }
        function hex(s,   i, n) { n = 0; s = tolower(s); for (i = 1; i <= length(s); ++i) n = n * 16 + index("0123456789abcdef", substr(s, i, 1)) - 1; return n }
        # A key without values of its own is made by the rows of its subkeys; one without subkeys either (such
        # as Programmable) gets a row that makes it, and takes it away with everything below it on uninstall.
        function flush() {
            if (key != "" && !hasValues)
                empty[key] = 1
        }
        BEGIN { module = ENVIRON["MODULE"] }
        /^\[/ {
            flush()
            key = $0; sub(/^\[HKEY_CURRENT_USER\\Software\\Classes\\?/, "", key); sub(/\]$/, "", key)
            if (key ~ /^\[/) key = ""
            if (key != "") seen[key] = 1
            hasValues = 0
            next
        }
        /^(@|")/ && key != "" {
            line = $0
            if (line ~ /^@=/) { name = ""; rest = substr(line, 3) }
            else { match(line, /^"([^"\\]|\\.)*"=/); name = unreg(substr(line, 2, RLENGTH - 3)); rest = substr(line, RLENGTH + 1) }
            if (rest ~ /^dword:/) { type = "integer"; value = sprintf("%.0f", hex(substr(rest, 7))) }
            else { type = "string"; value = unreg(substr(rest, 2, length(rest) - 2)) }
            if (type == "string" && value == module) value = "[#tarnel.dll]"
            else if (type == "string") value = formatted(value)
            printf "            <RegistryValue Root=\"HKCR\" Key=\"%s\"%s Type=\"%s\" Value=\"%s\"/>\n",
                xml(formatted(key)), name == "" ? "" : " Name=\"" xml(formatted(name)) "\"", type, xml(value)
            hasValues = 1
        }
        END {
            flush()
            for (k in empty) {
                leaf = 1
                for (other in seen) if (index(other, k "\\") == 1) { leaf = 0; break }
                if (leaf)
                    printf "            <RegistryValue Root=\"HKCR\" Key=\"%s\" Name=\"*\" Type=\"string\" Value=\"\"/>\n", xml(formatted(k))
            }
        }'
    printf '          </Component>\n'
    sed -n '/@FILES@/,$p' "$here/tarnel.wxs.in" | sed '1d' | {
        refs=""
        for ((i = 1; i <= n; ++i)); do refs="$refs<ComponentRef Id=\"c$i\"/>"; done
        sed "s|@COMPONENTREFS@|$refs|"
    }
} >"$work/tarnel.wxs"
# wixl finds the files by names relative to the folder it runs in.
(cd "$win" && wixl -a x64 -o tarnel.msi msi/tarnel.wxs)
echo "$win/tarnel.msi"
