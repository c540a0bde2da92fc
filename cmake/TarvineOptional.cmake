# Optional parts of the build (each file manager's module, the macOS check).
# Each has a cache option, AUTO by default: built when its packages are found.
# ON requires them, and OFF leaves the part out. TARVINE_REQUIRE_ALL turns
# every AUTO into ON, so that `make check` (and so CI) can never skip a part
# silently. The feature summary at the end of configuring says what is built,
# what is not, and what is missing.
include(FeatureSummary)
option(TARVINE_REQUIRE_ALL "Fail when any optional part's packages are missing" OFF)

# tarvine_optional(OPTION "what it builds" FOUND "Debian packages it needs")
# sets OPTION_BUILD in the caller's scope.
function(tarvine_optional option description found packages)
  set(${option} AUTO CACHE STRING "${description}: AUTO (when found), ON or OFF")
  set_property(CACHE ${option} PROPERTY STRINGS AUTO ON OFF)
  set(wanted ${${option}})
  if(wanted STREQUAL "AUTO" AND TARVINE_REQUIRE_ALL)
    set(wanted ON)
  endif()
  if(wanted STREQUAL "OFF")
    set(build OFF)
    set(why "turned off")
  elseif(found)
    set(build ON)
    set(why "")
  elseif(wanted STREQUAL "ON")
    message(FATAL_ERROR "${option} is ON, but ${description} needs: ${packages}\n"
                        "Install them (scripts/install-deps.sh names them) or set ${option}=OFF.")
  else()
    set(build OFF)
    set(why "needs ${packages}")
  endif()
  set(${option}_BUILD ${build} PARENT_SCOPE)
  if(why)
    add_feature_info(${option} build "${description} (${why})")
  else()
    add_feature_info(${option} build "${description}")
  endif()
endfunction()
