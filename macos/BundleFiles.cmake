# The bundles' files that name the application group (both entitlements and
# the extension's Info.plist), written for the team that signs. From macOS 15
# the system protects a group container: a group with another team's prefix
# is refused or prompts, and the extension would get no manifest. The group
# is the team's prefix and the main application's identifier; without a team
# (ad hoc signing) it is the shipped bundles' default, as on Linux.
#
# Included: tarvine_bundle_files(OUT_DIR TEAM SIGN_IDENTITY) writes the files
# into OUT_DIR and sets TARVINE_APP_GROUP. As a script, for the checks:
#   cmake -DOUT=dir [-DTEAM=id] [-DSIGN_IDENTITY=id] -P BundleFiles.cmake
set(TARVINE_BUNDLE_FILES_DIR ${CMAKE_CURRENT_LIST_DIR})

function(tarvine_bundle_files out team identity)
  # A non-Xcode build names its team only inside the identity: "Apple Development: Name (TEAMID)".
  if(team STREQUAL "" AND identity MATCHES "\\(([A-Z0-9]+)\\)$")
    set(team ${CMAKE_MATCH_1})
  endif()
  if(team STREQUAL "")
    set(team QF7T2K9M4R)
  elseif(NOT team MATCHES "^[A-Z0-9]+$")
    message(FATAL_ERROR "The team \"${team}\" is not an Apple team identifier (capitals and digits).")
  endif()
  set(TARVINE_APP_GROUP ${team}.com.quillfen.tarvine)
  foreach(name Tarvine.entitlements TarvineFinderSync.entitlements TarvineFinderSync-Info.plist)
    configure_file(${TARVINE_BUNDLE_FILES_DIR}/${name}.in ${out}/${name} @ONLY)
  endforeach()
  set(TARVINE_APP_GROUP ${TARVINE_APP_GROUP} PARENT_SCOPE)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  tarvine_bundle_files("${OUT}" "${TEAM}" "${SIGN_IDENTITY}")
  message(STATUS "${TARVINE_APP_GROUP}")
endif()
