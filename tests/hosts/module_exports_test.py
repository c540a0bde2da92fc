"""Each file manager finds a module's entry points by their C names (Dolphin,
through Qt's plugin loader): `nm -D` must list exactly those, unmangled, and
nothing of the libraries inside."""

import subprocess
import sys

EXPECTED = {
    "nautilus": ["nautilus_module_initialize", "nautilus_module_list_types",
                 "nautilus_module_shutdown"],
    "nemo": ["nemo_module_initialize", "nemo_module_list_types", "nemo_module_shutdown"],
    "caja": ["caja_module_initialize", "caja_module_list_types", "caja_module_shutdown"],
    "thunar": ["thunar_extension_initialize", "thunar_extension_list_types",
               "thunar_extension_shutdown"],
    "dolphin": ["qt_plugin_instance", "qt_plugin_query_metadata"],
}

failures = 0
for path in sys.argv[1:]:
    manager = next(name for name in EXPECTED if "tarvine-%s." % name in path)
    listing = subprocess.run(["nm", "-D", "--defined-only", path], check=True,
                             capture_output=True, text=True).stdout
    exported = sorted(line.split()[-1] for line in listing.splitlines() if line.strip())
    if exported != EXPECTED[manager]:
        print("%s exports %s, not %s" % (path, exported, EXPECTED[manager]))
        failures += 1
print("%d passed, %d failed" % (len(sys.argv) - 1 - failures, failures))
sys.exit(1 if failures else 0)
