#!/bin/bash
# The Debian package, checked as a user would meet it:
#   1. `cmake --workflow --preset package` builds the .deb;
#   2. its control fields: name, version from the project, maintainer, description, and
#      dependencies that dpkg-shlibdeps computed (the C and C++ runtimes);
#   3. its files: the three programs, their manual pages (which render without warnings) and the
#      sample image, nothing else;
#   4. `dpkg -i` installs it on this machine; tovrel from PATH flashes the installed sample
#      image into the emulated device, `man -w` finds every page and tovrel-ports runs;
#   5. `dpkg -r` removes it again, leaving none of its files behind.
# Installing needs root (or sudo). Every step is time-bounded. Prints a summary; exits 0 only
# when nothing failed. The package is removed again on every exit once it was installed.
set -u -o pipefail

source_dir="$(cd "$(dirname "$0")/.." && pwd)"
package_dir="$source_dir/build/package"
build_limit=1800
run_limit=90

declare -a summary=()
failed=0
note() { summary+=("$1"); }
pass() { note "PASS  $1"; }
fail() { note "FAIL  $1"; failed=1; }
step() { printf '\n=== %s\n' "$1"; }

for tool in cmake cpack dpkg dpkg-deb dpkg-shlibdeps man groff timeout; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "package.sh: missing tool: $tool" >&2
    exit 2
  fi
done
as_root=()
if [ "$(id -u)" != 0 ]; then
  if command -v sudo >/dev/null 2>&1; then
    as_root=(sudo)
  else
    echo "package.sh: installing the package needs root or sudo" >&2
    exit 2
  fi
fi
cd "$source_dir" || exit 2

installed=0
cleanup() {
  if [ "$installed" = 1 ]; then
    timeout 120 "${as_root[@]}" dpkg -r tovrel >/dev/null 2>&1
    installed=0
  fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# --- 1. build --------------------------------------------------------------------------------
step "package: configure, build, make the .deb"
rm -f "$package_dir"/tovrel_*.deb
if ! timeout "$build_limit" cmake --workflow --preset package; then
  fail "cmake --workflow --preset package"
fi
mapfile -t debs < <(find "$package_dir" -maxdepth 1 -name 'tovrel_*.deb' -type f)
if [ "${#debs[@]}" != 1 ]; then
  fail "the package workflow left ${#debs[@]} .deb files instead of one"
  printf '\n=== Summary\n'
  printf '%s\n' "${summary[@]}"
  exit 1
fi
deb="${debs[0]}"
pass "built $(basename "$deb")"

# --- 2. control fields -----------------------------------------------------------------------
step "package: control fields"
dpkg-deb --info "$deb"
version="$(sed -n 's/^project(tovrel VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)"
field() { dpkg-deb --field "$deb" "$1"; }
[ "$(field Package)" = tovrel ] && pass "Package: tovrel" || fail "Package: $(field Package)"
[ -n "$version" ] && [ "$(field Version)" = "$version" ] &&
  pass "Version: $version, the project's" || fail "Version: $(field Version), project: $version"
[[ "$(field Maintainer)" == *"<"*"@"*">" ]] &&
  pass "Maintainer: $(field Maintainer)" || fail "Maintainer: '$(field Maintainer)'"
[ "$(field Description | wc -l)" -ge 3 ] &&
  pass "Description: $(field Description | head -1) (and a long description)" ||
  fail "Description too short: $(field Description)"
depends="$(field Depends)"
if [[ "$depends" == *"libc6 (>= "* && "$depends" == *"libstdc++6 (>= "* ]]; then
  pass "Depends (from dpkg-shlibdeps): $depends"
else
  fail "Depends lacks the versioned C and C++ runtimes: '$depends'"
fi

# --- 3. files --------------------------------------------------------------------------------
step "package: files"
dpkg-deb --contents "$deb"
mapfile -t files < <(dpkg-deb --contents "$deb" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./|/|' |
                     sort)
expected=(
  /usr/bin/tovrel
  /usr/bin/tovrel-emulator
  /usr/bin/tovrel-ports
  /usr/share/man/man1/tovrel-emulator.1.gz
  /usr/share/man/man1/tovrel-ports.1.gz
  /usr/share/man/man1/tovrel.1.gz
  /usr/share/tovrel/sample-firmware.bin
)
if [ "${files[*]}" = "${expected[*]}" ]; then
  pass "files: ${#files[@]}, exactly the programs, the manual pages and the sample image"
else
  fail "files: ${files[*]}"
fi
extract="$(mktemp -d "${TMPDIR:-/tmp}/tovrel-deb.XXXXXX")"
dpkg-deb --extract "$deb" "$extract"
for page in "$extract"/usr/share/man/man1/*.1.gz; do
  warnings="$(zcat "$page" | LC_ALL=C.UTF-8 groff -t -man -ww -z -Tutf8 2>&1)"
  if [ -z "$warnings" ] && zcat "$page" | grep -q '^\.SH EXIT STATUS'; then
    pass "$(basename "$page"): renders without warnings"
  else
    fail "$(basename "$page"): ${warnings:-no EXIT STATUS section}"
  fi
done
# The pages name the sample image where the package puts it.
if zcat "$extract/usr/share/man/man1/tovrel.1.gz" |
   grep -q '^\.I /usr/share/tovrel/sample\\-firmware\.bin$'; then
  pass "tovrel.1 names the installed sample image, /usr/share/tovrel/sample-firmware.bin"
else
  fail "tovrel.1 does not name /usr/share/tovrel/sample-firmware.bin"
fi
for program in "$extract"/usr/bin/*; do
  kind="$(file -b "$program")"
  [[ "$kind" == *ELF*stripped* && "$kind" != *"not stripped"* ]] &&
    pass "$(basename "$program"): stripped ELF program" || fail "$(basename "$program"): $kind"
done
rm -rf "$extract"

# --- 4. install and use ----------------------------------------------------------------------
step "package: dpkg -i"
if timeout 300 "${as_root[@]}" dpkg -i "$deb"; then
  installed=1
  pass "dpkg -i $(basename "$deb")"
else
  fail "dpkg -i $(basename "$deb")"
fi

if [ "$installed" = 1 ]; then
  step "package: tovrel from PATH flashes the installed sample image into sim://"
  found="$(command -v tovrel)"
  run_dir="$(mktemp -d "${TMPDIR:-/tmp}/tovrel-run.XXXXXX")"
  started=$(date +%s)
  output="$(cd "$run_dir" && timeout "$run_limit" tovrel /usr/share/tovrel/sample-firmware.bin \
            sim:// 115200)"
  status=$?
  seconds=$(($(date +%s) - started))
  printf '%s\n' "$output" | tr '\b' '~'
  rm -rf "$run_dir"
  if [ "$found" = /usr/bin/tovrel ] && [ "$status" = 0 ] &&
     [ "$(printf '%s\n' "$output" | tail -1)" = "Flash update complete!" ]; then
    pass "tovrel (found at $found) flashed the sample image: status 0 in ${seconds} s"
  else
    fail "tovrel from PATH (${found:-not found}): status $status, output above"
  fi

  step "package: manual pages and the companion programs"
  for page in tovrel tovrel-emulator tovrel-ports; do
    where="$(man -w "$page" 2>&1)"
    if [ "$where" = "/usr/share/man/man1/$page.1.gz" ]; then
      pass "man -w $page: $where"
    else
      fail "man -w $page: $where"
    fi
  done
  if timeout 10 tovrel-ports >/dev/null; then
    pass "tovrel-ports runs from PATH"
  else
    fail "tovrel-ports from PATH"
  fi
  if timeout 10 tovrel-emulator --help | grep -q '^Usage: tovrel-emulator'; then
    pass "tovrel-emulator --help runs from PATH"
  else
    fail "tovrel-emulator --help from PATH"
  fi

  # --- 5. remove -----------------------------------------------------------------------------
  step "package: dpkg -r"
  if timeout 120 "${as_root[@]}" dpkg -r tovrel; then
    installed=0
    left=()
    for file in "${expected[@]}"; do
      [ -e "$file" ] && left+=("$file")
    done
    if [ "${#left[@]}" = 0 ] && ! dpkg-query -W -f='${Status}' tovrel 2>/dev/null |
                                 grep -q 'install ok installed'; then
      pass "dpkg -r tovrel removed every file"
    else
      fail "dpkg -r tovrel left: ${left[*]:-the package marked installed}"
    fi
  else
    fail "dpkg -r tovrel"
  fi
fi

printf '\n=== Summary\n'
printf '%s\n' "${summary[@]}"
exit "$failed"
