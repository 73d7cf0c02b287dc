#!/usr/bin/env bash
# Installs the build into a scratch DESTDIR and checks what lands there: exactly the
# expected files, icons of the size their folder names, the desktop entry and the
# AppStream metainfo valid by their validators, readable manual pages, and the
# programs with a command line answering --version, and the systemd user units clean
# by systemd-analyze verify.
#   test_install.sh <build dir> <version>
set -euo pipefail
build=$1 version=$2
id=jp.co.morvella.qz7310

for tool in desktop-file-validate appstreamcli man systemd-analyze; do
  command -v "$tool" >/dev/null || { echo "missing: $tool (scripts/test installs it)"; exit 1; }
done

dest=$(mktemp -d "${TMPDIR:-/tmp}/qz7310-install.XXXXXX")
trap 'rm -rf "$dest"' EXIT
DESTDIR=$dest cmake --install "$build" --prefix /usr >/dev/null
usr=$dest/usr
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

programs=(qz7310 qz7310-sim qz7310-collect qz7310-history) # each with its manual page
sizes=(16 22 24 32 48 64 128 256)

expected=(
  "usr/share/applications/$id.desktop"
  "usr/share/metainfo/$id.metainfo.xml"
  "usr/share/applications/$id.history.desktop" "usr/share/metainfo/$id.history.metainfo.xml"
  "usr/share/icons/hicolor/scalable/apps/$id.svg"
  usr/share/doc/qz7310/README.md usr/share/doc/qz7310/store.md usr/share/doc/qz7310/copyright
  usr/share/doc/qz7310/changelog.gz usr/share/doc/qz7310/counter.env.example
  "usr/lib/systemd/user/qz7310-collect@.service" "usr/lib/systemd/user/qz7310-collect@.timer"
)
for p in "${programs[@]}"; do expected+=("usr/bin/$p"); done
for p in "${programs[@]}"; do expected+=("usr/share/man/man1/$p.1.gz"); done
for s in "${sizes[@]}"; do expected+=("usr/share/icons/hicolor/${s}x$s/apps/$id.png"); done

landed=$(cd "$dest" && find . -type f -o -type l | sed 's|^\./||' | sort)
wanted=$(printf '%s\n' "${expected[@]}" | sort)
if [ "$landed" != "$wanted" ]; then
  fail "installed files differ from the expected ones (< missing, > unexpected):"
  diff <(echo "$wanted") <(echo "$landed") | grep '^[<>]' || true
fi

for p in "${programs[@]}"; do
  [ -x "$usr/bin/$p" ] || fail "usr/bin/$p is not executable"
done

# A PNG's width and height are the big-endian words at bytes 16 and 20.
for s in "${sizes[@]}"; do
  png=$usr/share/icons/hicolor/${s}x$s/apps/$id.png
  [ -f "$png" ] || continue
  read -r w1 w2 w3 w4 h1 h2 h3 h4 < <(od -An -tu1 -j16 -N8 "$png")
  w=$(( (w1 << 24) | (w2 << 16) | (w3 << 8) | w4 )) h=$(( (h1 << 24) | (h2 << 16) | (h3 << 8) | h4 ))
  [ "$w" = "$s" ] && [ "$h" = "$s" ] || fail "${s}x$s icon is ${w}x$h"
done

desktop=$usr/share/applications/$id.desktop
# Each entry (the window program's, the viewer's) is valid, starts an installed
# program and names the installed icon.
for entry in "$desktop" "$usr/share/applications/$id.history.desktop"; do
  if out=$(desktop-file-validate "$entry" 2>&1) && [ -z "$out" ]; then :; else
    fail "desktop-file-validate $(basename "$entry"): $out"
  fi
  exec_name=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$entry")
  [ -x "$usr/bin/$exec_name" ] || fail "Exec=$exec_name is not an installed program"
  grep -qx "Icon=$id" "$entry" || fail "$(basename "$entry")'s Icon is not $id"
done
grep -qx "Name=QZ-7310 TALVEN SOFTWARE" "$desktop" || fail "the entry's Name"
grep -q '^Comment\[ja\]=' "$desktop" || fail "no Japanese Comment"

# The metainfo alone and with the tree it describes (its launchable must be there).
metainfo=$usr/share/metainfo/$id.metainfo.xml
for check in "validate --no-net --pedantic $metainfo" "validate --no-net --pedantic ${metainfo%.metainfo.xml}.history.metainfo.xml" \
             "validate-tree --no-net --pedantic $dest"; do
  # shellcheck disable=SC2086
  out=$(appstreamcli $check 2>&1) || fail "appstreamcli $check: $out"
done
grep -q "<release version=\"$version\"" "$metainfo" || fail "metainfo has no release $version"
for p in "${programs[@]}"; do
  # The viewer is a component of its own.
  m=$metainfo
  [ "$p" = qz7310-history ] && m=${metainfo%.metainfo.xml}.history.metainfo.xml
  grep -q "<binary>$p</binary>" "$m" || fail "$(basename "$m") does not provide $p"
done

for p in "${programs[@]}"; do
  page=$usr/share/man/man1/$p.1.gz
  [ -f "$page" ] || continue
  text=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>"$dest/man.err") || fail "man -l $p"
  [ -s "$dest/man.err" ] && fail "man -l $p warns: $(cat "$dest/man.err")"
  grep -q "^NAME" <<<"$text" && grep -q "$p" <<<"$text" || fail "man -l $p shows no page"
done

for p in "${programs[@]}"; do
  [ "$p" = qz7310 ] && continue # no command line by design
  # Standard output only: a window program's Qt may warn on standard error first.
  out=$("$usr/bin/$p" --version 2>"$dest/version.err") || fail "$p --version failed: $out $(cat "$dest/version.err")"
  [[ "${out%%$'\n'*}" == "$p "*"$version"* ]] || fail "$p --version says '$out', not '$p ... $version'"
done

# The user units. The service runs the program where the install put it; systemd-analyze
# checks a copy that points into this scratch tree instead (it looks for the program
# and, through MANPATH, the manual page its Documentation= names), with an instance
# name, as systemctl --user enable qz7310-collect@NAME.timer makes one.
units=$usr/lib/systemd/user
service=$units/qz7310-collect@.service
grep -q '^ExecStart=/bin/sh -c .* sh /usr/bin/qz7310-collect --port ${QZ7310_PORT} --output-dir ${QZ7310_OUTPUT_DIR} ' \
  "$service" || fail "the service does not run /usr/bin/qz7310-collect with the settings' port and folder"
grep -qx 'EnvironmentFile=%E/qz7310-collect/%i.env' "$service" || fail "the service's settings file"
grep -qx 'WantedBy=timers.target' "$units/qz7310-collect@.timer" || fail "the timer is not wanted by timers.target"
check=$dest/units
mkdir -p "$check" "$dest/runtime"
chmod 700 "$dest/runtime"
sed "s| /usr/bin/qz7310-collect | $usr/bin/qz7310-collect |" "$service" >"$check/qz7310-collect@lab3.service"
cp "$units/qz7310-collect@.timer" "$check/qz7310-collect@lab3.timer"
if ! out=$(cd "$check" && XDG_RUNTIME_DIR=$dest/runtime MANPATH=$usr/share/man \
           systemd-analyze verify --user ./qz7310-collect@lab3.service ./qz7310-collect@lab3.timer 2>&1) \
   || [ -n "$out" ]; then
  fail "systemd-analyze verify: $out"
fi
# Every setting the service reads is in the example, which is NAME=value lines only.
example=$usr/share/doc/qz7310/counter.env.example
for v in QZ7310_PORT QZ7310_OUTPUT_DIR QZ7310_CLEAR QZ7310_STORE QZ7310_COUNTER QZ7310_OPTIONS; do
  grep -q "^$v=" "$example" || fail "the example settings lack $v"
done
grep -v '^#' "$example" | grep -v '^$' | grep -qv '^[A-Z0-9_]*=' && fail "the example has a line that is not NAME=value"

[ "$failures" -eq 0 ] || { echo "$failures failure(s)"; exit 1; }
echo "installed and checked: ${#expected[@]} files"
