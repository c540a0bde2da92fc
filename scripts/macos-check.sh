#!/usr/bin/env bash
# Compiles every Objective-C++ file of the macOS side against GNUstep's headers
# and the declarations of the Apple-only APIs, with warnings as errors, then
# builds and runs the tests of what GNUstep implements faithfully.
# Usage: scripts/macos-check.sh BUILD_DIR (a configured build with tarvine_core)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-build}" && pwd)
out="$build/macos-check"
mkdir -p "$out"

# gnustep-config's flags without its dependency files and "-I.", and with
# GNUstep's own folders as system headers: their warnings are not ours.
read -r -a gnustep <<< "$(gnustep-config --objc-flags |
  sed -e 's/-MMD//; s/-MP//; s/ -I\. / /; s/ -I\// -isystem \//g')"
flags=(-x objective-c++ -std=c++20 -fobjc-runtime=gcc -fblocks "${gnustep[@]}"
       -I"$root/macos/linux-check" -idirafter "$(gcc -print-file-name=include)"
       -I"$root" -include "$root/macos/linux-check/AppleOnlyDeclarations.h"
       -Wall -Wextra -Werror -Werror=objc-method-access -Wundeclared-selector
       -Wno-unused-command-line-argument)

objects=()
for source in "$root"/macos/*.mm "$root"/tests/macos/*.mm; do
  object="$out/$(basename "${source%.mm}").o"
  clang++-14 "${flags[@]}" -c "$source" -o "$object"
  objects+=("$object")
done
echo "compiled ${#objects[@]} Objective-C++ files against GNUstep with warnings as errors"

# What runs here: the file system, on GNUstep's Foundation.
clang++-14 -o "$out/apple_tests" "$out/AppleFileSystemTest.o" "$out/AppleFileSystem.o" \
  "$build/libtarvine_core.a" -lgtest_main -lgtest -lutf8proc \
  $(gnustep-config --base-libs) -lBlocksRuntime -pthread
cd "$out" && ./apple_tests

# The bundle metadata reads as property lists, and names the class that exists.
python3 - "$root" <<'PY'
import plistlib, re, sys
root = sys.argv[1]
for name in ("TarvineFinderSync-Info.plist", "Tarvine-Info.plist",
             "TarvineFinderSync.entitlements", "Tarvine.entitlements"):
    with open("%s/macos/%s" % (root, name), "rb") as f:
        plist = plistlib.load(f)
    if name.endswith("entitlements"):
        assert plist["com.apple.security.app-sandbox"] is True, name
        assert plist["com.apple.security.application-groups"] == ["QF7T2K9M4R.com.quillfen.tarvine"], name
extension = plistlib.load(open(root + "/macos/TarvineFinderSync-Info.plist", "rb"))["NSExtension"]
header = open(root + "/macos/FinderSync.h").read()
declared = re.search(r"@interface (\w+) : FIFinderSync", header).group(1)
assert extension["NSExtensionPrincipalClass"] == declared, (extension, declared)
assert extension["NSExtensionPointIdentifier"] == "com.apple.FinderSync"
print("bundle metadata: 4 property lists read; principal class %s exists" % declared)
PY
