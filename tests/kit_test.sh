#!/bin/sh
# The Windows kit as a user gets it. tools/windows-kit.sh makes the zip
# twice (the same bytes both times); the kit's sums hold, its DLLs are the
# ones the win64 and win32 tests ran, stripped, with the project's version in their
# version resource, and export the functions vtl.h declares; its header is
# vtl.h, and its VB and Pascal constants and declarations are vtl.h's (each
# function with as many arguments, a byte string where vtl.h has one, and a
# pointer-sized integer or PWideChar for a UTF-16 one), with the helpers
# VTLLastErrorText and VTLUrlEncode beside them, in ASCII. Then
# tests/kit/send.c is built against the kit's headers and import libraries,
# for x64 and x86: with mingw-w64 against libvtl.dll.a, and
# with clang and lld-link (no C runtime) against vtl.lib; and
# tests/kit/send.pas, which checks the unit's URL encoding and has the DLL
# read a URL made with it, with Free Pascal against the kit's delphi/vtl.pas. Free
# Pascal's Windows units are not packaged in Debian, so the few a program
# needs are compiled here from Debian's fpc-source, and for x86 a cross
# compiler is built first with the native one. As root, every program then
# sends its four mails under Wine, as an English user (code page 1252), to
# tools/smtp_sink.py on port 25 of 127.0.0.29 (the DLL has no port
# argument), and each must arrive as sent: VTLSendMailEx's to its three
# recipients with no header naming the Bcc, with its file and header line,
# and the W forms' with their Japanese names, subjects and file name intact.
#   tests/kit_test.sh
set -eu
cd "$(dirname "$0")/.."
root=$PWD
server=127.0.0.29
work=$(mktemp -d "${TMPDIR:-/tmp}/vtl-kit.XXXXXX")
. tests/support/sink.sh
SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || stat -c %Y CMakeLists.txt)}
export SOURCE_DATE_EPOCH
# Runs a command, showing its output only when it fails.
quiet() { "$@" </dev/null >"$work/log" 2>&1 || { cat "$work/log" >&2; return 1; }; }
fpcver=$(ppcx64 -iV)
fpcsrc=/usr/share/fpcsrc/$fpcver
fpcmsg=$(dirname "$(readlink -f "$(command -v ppcx64)")")/msg/errore.msg

zip=$(tools/windows-kit.sh "$work/a" | tail -n 1)
tools/windows-kit.sh "$work/b" >/dev/null
cmp "$zip" "$work/b/$(basename "$zip")"
(cd "$work/a" && sha256sum -c SHA256SUMS)
python3 -m zipfile -l "$zip"
python3 -m zipfile -e "$zip" "$work"
kit=$work/$(basename "$zip" .zip)
(cd "$kit" && sha256sum -c --quiet SHA256SUMS)
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/win64/CMakeCache.txt)
[ "$kit" = "$work/vtl-$version-windows" ]
# The functions vtl.h declares, sorted, each followed by a space.
functions=$(sed -n 's/.* VTL_CALL \(VTL[A-Za-z]*\)(.*/\1/p' include/vtl.h | LC_ALL=C sort | tr '\n' ' ')
[ "$functions" = "VTLInternet VTLInternetW VTLLastError VTLSendMail VTLSendMailEx VTLSendMailExW VTLSendMailW VTLSignIn VTLSignOut " ]

for arch in x64:win64:x86_64 x86:win32:i686; do
  dir=$kit/${arch%%:*}
  build=${arch#*:}
  "${arch##*:}-w64-mingw32-strip" --strip-all -o "$work/tested.dll" "build/${build%:*}/bin/vtl.dll"
  cmp "$dir/vtl.dll" "$work/tested.dll"
  tr -d '\r' <"$dir/vtl.h" | cmp - include/vtl.h
  for key in FileVersion ProductVersion; do
    found=$(strings -el "$dir/vtl.dll" | grep -A1 -x "$key" | tail -n 1)
    [ "$found" = "$version" ] || { echo "$dir/vtl.dll: $key $found, not $version" >&2; exit 1; }
  done
  exports=$(llvm-readobj --coff-exports "$dir/vtl.dll" | awk '$1 == "Name:" { print $2 }' |
    LC_ALL=C sort | tr '\n' ' ')
  [ "$exports" = "$functions" ] || { echo "$dir/vtl.dll: exports $exports" >&2; exit 1; }
done
# Every function, declared for VBA7 (PtrSafe) and for VB6 in the VB module,
# and in the unit, each declaration on one line here; with the same
# arguments as in vtl.h, counted as "all byte-strings UTF-16-strings".
vb=$(tr -d '\r' <"$kit/vb/vtl.bas")
pas=$(tr -d '\r' <"$kit/delphi/vtl.pas")
vbdecls=$(printf '%s\n' "$vb" | sed -e ':a' -e '/ _$/{N;s/ _\n */ /;ba}' | grep '^Public Declare ')
pasdecls=$(printf '%s\n' "$pas" | awk '/^function / { d = "" } /^function / || d != "" { d = d " " $0 }
  NF == 0 { d = "" } d ~ /external VtlLibrary name / { print d; d = "" }')
hdecls=$(tr '\n' ' ' <include/vtl.h | grep -o 'VTL_CALL VTL[A-Za-z]*([^)]*)')
count() { printf '%s\n' "$1" | grep -o "$2" | wc -l; }
for name in $functions; do
  [ "$(printf '%s\n' "$vbdecls" | grep -c "^Public Declare \(PtrSafe \)\?Function $name Lib \"vtl.dll\" (")" = 2 ] ||
    { echo "vb/vtl.bas: $name is not declared twice" >&2; exit 1; }
  h=$(printf '%s\n' "$hdecls" | grep "VTL_CALL $name(")
  args=$(($(count "$h" ,) + 1))
  bytes=$(count "$h" 'char\*')
  wides=$(count "$h" 'wchar_t\*')
  # VBA7 passes any pointer but a byte string as LongPtr; VB6 as Long.
  pointers=$(($(count "$h" '\*') - bytes))
  printf '%s\n' "$vbdecls" | grep "Function $name Lib " | while read -r d; do
    found="$(count "$d" 'ByVal ') $(count "$d" 'As String') $(count "$d" 'As LongPtr')"
    case $d in *PtrSafe*) want="$args $bytes $pointers" ;; *) want="$args $bytes 0" ;; esac
    [ "$found" = "$want" ] || { echo "vb/vtl.bas: $d: $found, not $want" >&2; exit 1; }
  done
  d=$(printf '%s\n' "$pasdecls" | grep "name '$name';")
  found=$(printf '%s\n' "$d" | awk '{ p = $0; sub(/^[^(]*\(/, "", p); sub(/\).*/, "", p)
    n = split(p, group, ";"); for (i = 1; i <= n; i++) { split(group[i], part, ":")
      c = gsub(/,/, ",", part[1]) + 1; all += c
      if (part[2] ~ /PAnsiChar/) bytes += c; if (part[2] ~ /PWideChar/) wides += c }
    print all + 0, bytes + 0, wides + 0 }')
  [ "$found" = "$args $bytes $wides" ] ||
    { echo "delphi/vtl.pas: $name: ${d:-not declared}: $found, not $args $bytes $wides" >&2; exit 1; }
done
# Every result code of vtl.h, with its value, in the VB module and the unit.
codes='^#define VTL_[A-Z_]* [0-9][0-9]*$'
grep "$codes" include/vtl.h | while read -r _ name value; do
  grep -q "^Public Const $name As Long = $value\b" "$kit/vb/vtl.bas"
  grep -q "^ *$name = $value;" "$kit/delphi/vtl.pas"
done
[ "$(grep -c "$codes" include/vtl.h)" = "$(grep -c '^Public Const VTL_' "$kit/vb/vtl.bas")" ]
# The helpers and the example a user pastes from, which sends with a W
# form. VB6 reads a module in the system's code page and Delphi a unit
# without a BOM likewise: ASCII only.
for line in 'Public Function VTLLastErrorText() As String' \
  'Public Function VTLUrlEncode(ByVal text As String, Optional ByVal utf8 As Boolean = False) As String' \
  'Public Sub VTLSendExample()'; do
  printf '%s\n' "$vb" | grep -qxF "$line" || { echo "vb/vtl.bas: no $line" >&2; exit 1; }
done
printf '%s\n' "$vb" | sed -n '/^Public Sub VTLSendExample()/,/^End Sub/p' | grep -q 'VTLSendMail[A-Za-z]*W(StrPtr(' ||
  { echo "vb/vtl.bas: VTLSendExample sends with no W form" >&2; exit 1; }
# Each declared, and defined.
for line in 'function VTLLastErrorText: string;' \
  'function VTLUrlEncode(const Text: string; Utf8: Boolean = False): string;'; do
  [ "$(printf '%s\n' "$pas" | grep -cxF "$line")" = 2 ] || { echo "delphi/vtl.pas: $line" >&2; exit 1; }
done
! LC_ALL=C grep -n "$(printf '[^\t\r -~]')" "$kit/vb/vtl.bas" "$kit/delphi/vtl.pas" "$kit/README.txt" ||
  { echo "the kit's text is not all ASCII" >&2; exit 1; }

# arch mingw-gcc clang-target dlltool-machine kernel32-export fpc-target fpc-cpu-dir sysinit
while read -r arch gcc target machine exitprocess fpctarget cpu sysinit; do
  dir=$kit/$arch
  out=$work/run-$arch
  mkdir "$out"
  cp "$dir/vtl.dll" "$out/"
  "$gcc" -Wall -Wextra -Werror -DKIT_SERVER="\"$server\"" -I"$dir" -o "$out/mingw.exe" \
    tests/kit/send.c -L"$dir" -lvtl
  printf 'LIBRARY kernel32.dll\nEXPORTS\n  %s\n' "$exitprocess" >"$work/kernel32-$arch.def"
  llvm-dlltool -m "$machine" -k -d "$work/kernel32-$arch.def" -l "$work/kernel32-$arch.lib"
  clang --target="$target" -ffreestanding -Wall -Wextra -Werror -O2 -DKIT_NO_CRT \
    -DKIT_SERVER="\"$server\"" -I"$dir" -c tests/kit/send.c -o "$work/send-$arch.obj"
  lld-link /nologo /nodefaultlib /entry:start /subsystem:console /out:"$out/msvc.exe" \
    "$work/send-$arch.obj" "$dir/vtl.lib" "$work/kernel32-$arch.lib"
  imports=$(llvm-readobj --coff-imports "$out/msvc.exe" | awk '$1 == "Name:" { dll = $2 }
    $1 == "Symbol:" && dll == "vtl.dll" { print $2 }' | LC_ALL=C sort | tr '\n' ' ')
  # send.c calls every function: vtl.lib has them all.
  [ "$imports" = "$functions" ] || { echo "$arch vtl.lib: imports $imports" >&2; exit 1; }
  echo "$arch: built with mingw-w64 and, against vtl.lib, with lld-link"

  # Free Pascal: its Windows units from the sources, then the program.
  fpc=ppcx64
  if [ "$arch" = x86 ]; then
    # A cross compiler for i386, from the native one; its messages come
    # from the file Debian's compiler ships.
    fpc=$work/fpc386/ppcross386
    mkdir "$work/fpc386"
    quiet ppcx64 -FE"$work/fpc386" "$fpcsrc/compiler/utils/msg2inc.pp"
    (cd "$work/fpc386" && quiet ./msg2inc "$fpcmsg" msg msg)
    (cd "$fpcsrc/compiler" && quiet ppcx64 -dI386 -O2 -Fi"$work/fpc386" -Fui386 -Fusystems \
      -Fux86 -Fii386 -Fix86 -Fiinc -Fu. -FU"$work/fpc386" -o"$fpc" pp.pas)
  fi
  rtl=$work/rtl-$arch
  mkdir "$rtl" "$work/pas-$arch"
  for unit in "-Us -Sg $fpctarget/system.pp" "$fpctarget/$sysinit.pp" inc/fpintres.pp \
    "-Fiobjpas objpas/objpas.pp"; do
    # shellcheck disable=SC2086
    (cd "$fpcsrc/rtl" && quiet "$fpc" -T"$fpctarget" -n -Fiinc -Fi"$cpu" -Fiwin -Fiwin/wininc -Fi"$fpctarget" \
      -Fu"$rtl" -FE"$rtl" $unit)
  done
  quiet "$fpc" -T"$fpctarget" -n -Sew -Fu"$rtl" -Fu"$kit/delphi" -FU"$work/pas-$arch" \
    -o"$out/pascal.exe" tests/kit/send.pas
  echo "$arch: delphi/vtl.pas compiled with Free Pascal $fpcver"
done <<EOF
x64 x86_64-w64-mingw32-gcc x86_64-pc-windows-msvc i386:x86-64 ExitProcess win64 x86_64 sysinit
x86 i686-w64-mingw32-gcc i686-pc-windows-msvc i386 ExitProcess@4 win32 i386 sysinitpas
EOF

if [ "$(id -u)" != 0 ]; then
  echo "not root: the kit's programs were built but not run (the DLL sends to port 25)"
  exit 0
fi
start_sink mail --host "$server" --port 25
n=0
for arch in x64:win64 x86:win32; do
  prefix=$root/build/${arch#*:}/wine-${arch#*:}
  sh tools/wine-prefix.sh "$prefix" "${arch#*:}" >/dev/null
  dir=$work/run-${arch%:*}
  # The files the programs attach: one with an ASCII name, one with a name
  # in kanji (UTF-8 here, as Wine maps it in this locale).
  printf 'attached by the kit test\n' >"$dir/kit.txt"
  printf 'a report\n' >"$dir/$(printf '\345\240\261\345\221\212').txt"
  for program in mingw:C msvc:C pascal:Pascal; do
    exe=$dir/${program%:*}.exe
    (cd "$dir" && LANG=en_US.UTF-8 WINEPREFIX=$prefix "$root/tools/wine-run.sh" "$exe" "$server") \
      >"$work/out" || {
      code=$?
      cat "$work/out" >&2
      echo "$exe: result $code" >&2
      exit 1
    }
    await_mail mail $((n + 1)) "^Hello from ${program#*:}"
    python3 - "$work/mail" "$work/mail.out" $((n + 2)) "${program#*:}" "$dir" <<'EOF'
# The mails of VTLSendMailEx, VTLSendMailW and VTLSendMailExW, as a reader
# and the server see them.
import email, email.policy, os, sys, time
folder, log, first, who, files = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4], sys.argv[5]
yamada, report, kanji_name = "\u5c71\u7530", "\u6708\u5831", "\u5831\u544a.txt"

def mail(number):
    path = os.path.join(folder, "%03d.eml" % number)
    with open(path, "rb") as f:
        return path, email.message_from_binary_file(f, policy=email.policy.default)

def expect(what, found, wanted):
    if found != wanted:
        sys.exit("%s: %r, not %r" % (what, found, wanted))

def attached(message):
    return [(p.get_filename(), p.get_payload(decode=True)) for p in message.iter_attachments()]

# The text without its last line break, which MIME gives to the boundary
# after it in a multipart mail.
def text(part):
    return part.get_content().replace("\r\n", "\n").rstrip("\n")

def content(name):
    with open(os.path.join(files, name), "rb") as f:
        return f.read()

path, m = mail(first)
# The envelope, as the sink logs it once it has the mail.
for _ in range(600):
    with open(log) as f:
        lines = [l for l in f if l.rstrip().endswith(" -> " + path)]
    if lines:
        break
    time.sleep(0.1)
expect("the envelope of " + path, lines and lines[0].split(" for ")[1].split(" -> ")[0],
       "<b@example.com>, <c@example.com>, <d@example.com>")
expect(path + " To", str(m["To"]), 'b@example.com, "Kit, Two" <c@example.com>')
expect(path + " names the Bcc", "d@example.com" in m.as_string(), False)
expect(path + " X-Kit", str(m["X-Kit"]), who)
expect(path + " files", attached(m), [("kit.txt", content("kit.txt"))])
expect(path + " text", text(m.get_body()), "Hello again from " + who)

path, m = mail(first + 1)
expect(path + " From", (m["From"].addresses[0].display_name, m["From"].addresses[0].addr_spec),
       (yamada, "a@example.com"))
expect(path + " Subject", str(m["Subject"]), report + " from " + who)
expect(path + " text", text(m), "Hello in UTF-16 from " + who)

path, m = mail(first + 2)
expect(path + " From", m["From"].addresses[0].display_name, yamada)
expect(path + " Subject", str(m["Subject"]), report + " with a file from " + who)
expect(path + " files", attached(m), [(kanji_name, content(kanji_name))])
expect(path + " text", text(m.get_body()), "Hello again in UTF-16 from " + who)
EOF
    n=$((n + 4))
    echo "ok: $exe sent its four mails"
  done
done
