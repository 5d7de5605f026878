#!/bin/bash
# Builds the .deb from a built tree and checks what installing it gives: its files, its
# dependencies, and the extracted app running from its installed place with a user who set it
# up from the build tree (hooks, relay copy and login entry pointing there).
# usage: package_test.sh <build dir> <source dir>; exit 77 means skipped.
set -euo pipefail
build=$(cd "$1" && pwd)
source=$(cd "$2" && pwd)

skip() {
  echo "SKIPPED: $*"
  exit 77
}
fail() {
  echo "FAILED: $*" >&2
  exit 1
}
for tool in cpack dpkg-deb dpkg-shlibdeps; do
  command -v "$tool" >/dev/null || skip "$tool is not installed"
done
[ -f "$source/web/dist/index.html" ] || skip "the page is not built (make build, or: cd web && npm run build)"
for built in bin/talvane bin/talvane-app bin/talvane-hook packaging/talvane.1.gz; do
  [ -e "$build/$built" ] || skip "$built is not built (make build)"
done

scratch=$(mktemp -d)
app_pid=
cleanup() {
  [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null && wait "$app_pid" 2>/dev/null
  rm -rf "$scratch"
}
trap cleanup EXIT

cpack --config "$build/CPackConfig.cmake" -B "$scratch/out" >"$scratch/cpack.log" 2>&1 ||
  { cat "$scratch/cpack.log"; fail "cpack could not build the package"; }
deb=$(ls "$scratch"/out/talvane_*.deb)

# --- contents --------------------------------------------------------------------------------
dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|' >"$scratch/files"
for f in /usr/bin/talvane /usr/lib/talvane/talvane-app /usr/lib/talvane/talvane-hook /usr/share/talvane/web/index.html \
  /usr/share/talvane/speech/developer.lm /usr/share/talvane/speech/developer.dict \
  /usr/share/applications/app.talvane.Talvane.desktop \
  /usr/share/metainfo/app.talvane.Talvane.metainfo.xml \
  /usr/share/icons/hicolor/scalable/apps/talvane.svg \
  /usr/share/icons/hicolor/16x16/apps/talvane.png \
  /usr/share/icons/hicolor/256x256/apps/talvane.png \
  /usr/share/man/man1/talvane.1.gz; do
  grep -qx "$f" "$scratch/files" || fail "the package lacks $f"
done
for f in /usr/share/doc/talvane/copyright /usr/share/doc/talvane/changelog.gz \
  /usr/share/lintian/overrides/talvane; do
  grep -qx "$f" "$scratch/files" || fail "the package lacks $f"
done
grep -q '\.map$' "$scratch/files" && fail "the package carries source maps"

# --- what Debian's own checkers say ------------------------------------------------------------
if command -v desktop-file-validate >/dev/null; then
  desktop-file-validate "$source/packaging/app.talvane.Talvane.desktop" >"$scratch/desktop.log" 2>&1 ||
    { cat "$scratch/desktop.log"; fail "desktop-file-validate rejects the desktop file"; }
  [ ! -s "$scratch/desktop.log" ] || { cat "$scratch/desktop.log"; fail "desktop-file-validate warns"; }
else
  echo "note: desktop-file-validate is not installed; the desktop file is not checked"
fi
if command -v lintian >/dev/null; then
  # Errors and warnings fail; the static relay is overridden in the package, with its reason.
  lintian --fail-on error,warning "$deb" >"$scratch/lintian.log" 2>&1 ||
    { cat "$scratch/lintian.log"; fail "lintian finds faults in the package"; }
else
  echo "note: lintian is not installed; the package is not checked by it"
fi
ls=$(dpkg-deb -c "$deb" | awk '$6 == "./usr/bin/talvane" {print $1}')
[ "$ls" = "-rwxr-xr-x" ] || fail "talvane has mode $ls"

# --- dependencies: found by dpkg-shlibdeps, not written by hand ------------------------------
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libc6 libglib2.0-0 libstdc++6; do
  [[ "$depends" == *"$lib"* ]] || fail "Depends lacks $lib: $depends"
done
[ "$(dpkg-deb -f "$deb" Package)" = talvane ] || fail "the package is not named talvane"
[[ "$(dpkg-deb -f "$deb" Description)" != *";"* ]] || fail "the description is a CMake list"
dpkg-deb -I "$deb" | grep -qE '^ +(preinst|postinst|prerm|postrm)' &&
  fail "maintainer scripts could touch users' files"

# --- the extracted app, for a user who set it up from the build tree -------------------------
root="$scratch/root"
dpkg-deb -x "$deb" "$root"
version=$("$root/usr/bin/talvane" --version)
[[ "$version" == "talvane "* ]] || fail "talvane --version printed '$version'"

home="$scratch/home"
mkdir -p "$home/.talvane/bin" "$home/.claude" "$home/.config/autostart"
export HOME="$home" XDG_CONFIG_HOME="$home/.config"
unset DISPLAY WAYLAND_DISPLAY TALVANE_WEB_DIR TALVANE_DEV_URL TALVANE_DEMO
"$build/bin/talvane" connect claude >/dev/null
printf 'an old relay\n' >"$home/.talvane/bin/talvane-hook"
cat >"$XDG_CONFIG_HOME/autostart/talvane.desktop" <<EOF
[Desktop Entry]
Type=Application
Name=Talvane
Exec=$build/bin/talvane
TryExec=$build/bin/talvane
X-Talvane-Autostart=true
EOF

cd "$scratch"
"$root/usr/bin/talvane" --web --port 0 >"$scratch/app.log" 2>&1 &
app_pid=$!
for _ in $(seq 100); do
  grep -qs "Talvane panel: http" "$scratch/app.log" && break
  sleep 0.1
done
url=$(sed -n 's/^Talvane panel: //p' "$scratch/app.log")
[ -n "$url" ] || { cat "$scratch/app.log"; fail "the installed app did not start"; }

cmp -s "$home/.talvane/bin/talvane-hook" "$root/usr/lib/talvane/talvane-hook" ||
  fail "the installed app did not refresh the relay from /usr/lib/talvane"
grep -qx "Exec=$root/usr/bin/talvane" "$XDG_CONFIG_HOME/autostart/talvane.desktop" ||
  fail "the login entry still starts the build tree's app"

# The page comes from share/talvane/web: no build tree or web/dist is near this app.
hostport=${url#http://}
hostport=${hostport%%/*}
exec 3<>"/dev/tcp/${hostport%:*}/${hostport#*:}"
printf 'GET /%s HTTP/1.0\r\nHost: %s\r\n\r\n' "${url#http://*/}" "$hostport" >&3
grep -q 'src="./assets/index-' <&3 || fail "the installed app does not serve its page"
exec 3<&-

echo "package ok: $(basename "$deb"), Depends: $depends"
