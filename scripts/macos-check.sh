#!/usr/bin/env bash
# The checks of the macOS side that Linux can make. Every Objective-C++ file is
# compiled against GNUstep's headers and declarations of the Apple-only APIs
# (macos/linux-check), with GNUstep's own additions hidden and warnings as
# errors, twice: with GNUstep's runtime, to link and run, and with automatic
# reference counting and Apple's runtime flags, as the Mac build compiles it.
# Then the file-system tests run on GNUstep's Foundation, and the extension's
# principal class runs on GNUstep's AppKit under Xvfb, driven as the Finder
# drives it.
# Usage: scripts/macos-check.sh [--compile-only] BUILD_DIR
#   BUILD_DIR is a configured build with tarvine_core (unused with --compile-only).
set -euo pipefail
compile_only=0
if [[ ${1:-} == --compile-only ]]; then
  compile_only=1
  shift
fi
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(mkdir -p "${1:-build}" && cd "${1:-build}" && pwd)
out="$build/macos-check"
mkdir -p "$out"

# gnustep-config's flags without its dependency files and "-I.", and with
# GNUstep's own folders as system headers: their warnings are not ours.
read -r -a gnustep <<< "$(gnustep-config --objc-flags |
  sed -e 's/-MMD//; s/-MP//; s/ -I\. / /; s/ -I\// -isystem \//g')"
# NO_GNUSTEP hides GNUstep's additions to Apple's API: what compiles here is
# what a Mac's SDK declares. The shims come before GNUstep's headers.
common=(-x objective-c++ -std=c++20 -fblocks "${gnustep[@]}" -DNO_GNUSTEP=1
        -I"$root/macos/linux-check" -I"$root" -idirafter "$(gcc -print-file-name=include)"
        -Wall -Wextra -Werror -Werror=objc-method-access -Wundeclared-selector
        -Wno-unused-command-line-argument)
# Apple's runtime, as the Mac build compiles: ARC and its rules. GCC's runtime
# header is replaced by the few names GNUstep's headers need.
arc=(-fobjc-runtime=macosx-11.0 -fobjc-arc -I"$root/macos/linux-check/arc" "${common[@]}"
     -fsyntax-only)

# Compiles in parallel; the first failure's diagnostics are shown, and the check fails.
compile_all() {
  local pids=() source failed=0
  for source in "$@"; do
    "${compiler[@]}" "$source" > "$out/$(basename "$source").log" 2>&1 &
    pids+=($!)
  done
  local i=0
  for source in "$@"; do
    if ! wait "${pids[$i]}"; then
      cat "$out/$(basename "$source").log" >&2
      failed=1
    fi
    i=$((i + 1))
  done
  return $failed
}

mac_sources=("$root"/macos/*.mm)
check_sources=("$root"/macos/linux-check/*.mm "$root"/tests/macos/*.mm)

compile_object() { clang++-14 -fobjc-runtime=gcc "${common[@]}" -c "$1" -o "$out/$(basename "${1%.mm}").o"; }
compiler=(compile_object)
compile_all "${mac_sources[@]}" "${check_sources[@]}"
# The class's plain C++ beside it, as the Mac build compiles it.
mac_cxx_sources=("$root"/macos/*.cpp)
compile_cxx() {
  clang++-14 -std=c++20 -I"$root" -Wall -Wextra -Wpedantic -Werror -c "$1" \
    -o "$out/$(basename "${1%.cpp}").o"
}
compiler=(compile_cxx)
compile_all "${mac_cxx_sources[@]}"
compiler=(clang++-14 "${arc[@]}")
compile_all "${mac_sources[@]}"
echo "compiled ${#mac_sources[@]} macOS files twice (GNUstep's runtime; ARC with Apple's)" \
     "and ${#check_sources[@]} check files, warnings as errors"
[[ $compile_only -eq 1 ]] && exit 0

# The files that name the application group, written as the Mac build writes
# them, for a team other than the default: the team must reach all three.
team=ZX9CHECK42
files="$out/bundle-files"
group=$(cmake -DOUT="$files" -DTEAM=$team -P "$root/macos/BundleFiles.cmake" | sed 's/^-- //')

# The bundle metadata reads as property lists, with the keys the Finder needs,
# and names the class that exists. The two bundles and the extension's
# Info.plist name one group, the team's.
python3 - "$root" "$files" "$team" <<'PY'
import plistlib, re, sys
root, files, team = sys.argv[1:]
paths = {"Tarvine-Info.plist": root + "/macos/Tarvine-Info.plist"}
for name in ("TarvineFinderSync-Info.plist", "TarvineFinderSync.entitlements", "Tarvine.entitlements"):
    paths[name] = files + "/" + name
plists = {}
for name, path in paths.items():
    with open(path, "rb") as f:
        plists[name] = plist = plistlib.load(f)
    if name.endswith("entitlements"):
        assert plist["com.apple.security.app-sandbox"] is True, name
    else:
        assert plist["CFBundleInfoDictionaryVersion"] == "6.0", name
groups = [plists[name]["com.apple.security.application-groups"]
          for name in ("Tarvine.entitlements", "TarvineFinderSync.entitlements")]
info = plists["TarvineFinderSync-Info.plist"]
assert groups[0] == groups[1] == [info["QuillfenAppGroup"]], groups
assert info["QuillfenAppGroup"].startswith(team + "."), info["QuillfenAppGroup"]
extension = info["NSExtension"]
header = open(root + "/macos/FinderSync.h").read()
declared = re.search(r"@interface (\w+) : FIFinderSync", header).group(1)
assert extension["NSExtensionPrincipalClass"] == declared, (extension, declared)
assert extension["NSExtensionPointIdentifier"] == "com.apple.FinderSync"
assert isinstance(extension["NSExtensionAttributes"], dict)
assert info["CFBundlePackageType"] == "XPC!"
print("bundle metadata: 4 property lists read; principal class %s exists; both bundles in %s"
      % (declared, groups[0][0]))
PY

libs=("$build/libtarvine_core.a" -lgtest -lutf8proc -lBlocksRuntime -pthread)

# What runs on Foundation alone: the file system.
clang++-14 -o "$out/apple_tests" "$out/AppleFileSystemTest.o" "$out/AppleFileSystem.o" \
  -lgtest_main "${libs[@]}" $(gnustep-config --base-libs)
(cd "$out" && ./apple_tests)

# The principal class, in a GNUstep bundle shaped like the Mac's: the
# executable in TarvineFinderSync.appex inside Tarvine.app/Contents/PlugIns.
# GNUstep reads a bundle's information from Resources/Info-gnustep.plist and
# strings files only in their text form, so both are written from the real ones.
appex="$out/bundle/Tarvine.app/Contents/PlugIns/TarvineFinderSync.appex"
rm -rf "$out/bundle"
mkdir -p "$appex/Resources/en.lproj"
cp "$root/tools/bundles/BrandGlyph.png" "$appex/Resources/"
python3 - "$root" "$appex/Resources" "$files" <<'PY'
import json, plistlib, sys
root, resources, files = sys.argv[1:]
info = plistlib.load(open(files + "/TarvineFinderSync-Info.plist", "rb"))
with open(resources + "/Info-gnustep.plist", "wb") as f:
    plistlib.dump(info, f)
strings = plistlib.load(open(root + "/tools/bundles/en.lproj/Localizable.strings", "rb"))
with open(resources + "/en.lproj/Localizable.strings", "w", encoding="utf-8-sig") as f:
    for key, value in strings.items():
        f.write("%s = %s;\n" % (json.dumps(key, ensure_ascii=False), json.dumps(value, ensure_ascii=False)))
PY
class_objects=()
for source in "${mac_sources[@]}"; do
  [[ $(basename "$source") == ContainerApp.mm ]] || class_objects+=("$out/$(basename "${source%.mm}").o")
done
for source in "${mac_cxx_sources[@]}"; do class_objects+=("$out/$(basename "${source%.cpp}").o"); done
clang++-14 -o "$appex/TarvineFinderSync" "$out/FinderSyncClassTest.o" "$out/FinderDoubles.o" \
  "${class_objects[@]}" "${libs[@]}" $(gnustep-config --gui-libs)

# AppKit needs a display: a private Xvfb, and a home of its own for GNUstep's defaults.
exec 3> "$out/display"
Xvfb -displayfd 3 -nolisten tcp -screen 0 640x480x24 > "$out/xvfb.log" 2>&1 &
xvfb=$!
exec 3>&-
trap 'kill $xvfb 2>/dev/null || true' EXIT
for _ in $(seq 100); do [[ -s "$out/display" ]] && break; sleep 0.05; done
[[ -s "$out/display" ]] || { cat "$out/xvfb.log" >&2; echo "Xvfb did not start" >&2; exit 1; }
mkdir -p "$out/home"
# The cairo back end complains of every font style it has no metrics for.
DISPLAY=":$(head -n1 "$out/display")" HOME="$out/home" GNUSTEP_USER_ROOT="$out/home/GNUstep" \
  TARVINE_CHECK_APP_GROUP="$group" \
  "$appex/TarvineFinderSync" 2> >(grep -v "Failed to determine offsets for style" >&2)
