# Without Xcode (Makefiles or Ninja): the extension copied into the app, then
# both signed with their entitlements, the inner one first. A custom command
# with a stamp, not a POST_BUILD step of the app: that runs only when the app
# is relinked, and after a change to the extension alone the app would keep
# the old, still validly signed copy.
#
# tarvine_embed_extension(TARGET_NAME
#   APP_BUNDLE dir EXTENSION_BUNDLE dir EXTENSION_NAME name.appex IDENTITY id
#   APP_ENTITLEMENTS file EXTENSION_ENTITLEMENTS file
#   DEPENDS files-and-targets...)
# DEPENDS names everything whose change must reach the app: both executables
# (targets or files), the Info.plists and the resources.
find_program(TARVINE_CODESIGN codesign)

function(tarvine_embed_extension name)
  cmake_parse_arguments(PARSE_ARGV 1 arg ""
    "APP_BUNDLE;EXTENSION_BUNDLE;EXTENSION_NAME;IDENTITY;APP_ENTITLEMENTS;EXTENSION_ENTITLEMENTS" "DEPENDS")
  if(NOT TARVINE_CODESIGN)
    message(FATAL_ERROR "codesign was not found: the bundles cannot be signed.")
  endif()
  set(extension_name ${arg_EXTENSION_NAME})
  set(plugins ${arg_APP_BUNDLE}/Contents/PlugIns)
  set(embedded ${plugins}/${extension_name})
  set(stamp ${CMAKE_CURRENT_BINARY_DIR}/${name}.stamp)
  add_custom_command(OUTPUT ${stamp}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${plugins}
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${embedded}
    COMMAND ${CMAKE_COMMAND} -E copy_directory ${arg_EXTENSION_BUNDLE} ${embedded}
    COMMAND ${TARVINE_CODESIGN} --force --options runtime --sign ${arg_IDENTITY}
            --entitlements ${arg_EXTENSION_ENTITLEMENTS} ${embedded}
    COMMAND ${TARVINE_CODESIGN} --force --options runtime --sign ${arg_IDENTITY}
            --entitlements ${arg_APP_ENTITLEMENTS} ${arg_APP_BUNDLE}
    COMMAND ${TARVINE_CODESIGN} --verify --deep --strict ${arg_APP_BUNDLE}
    COMMAND ${CMAKE_COMMAND} -E touch ${stamp}
    DEPENDS ${arg_DEPENDS} ${arg_APP_ENTITLEMENTS} ${arg_EXTENSION_ENTITLEMENTS}
    COMMENT "Embedding ${extension_name} and signing both bundles"
    VERBATIM)
  add_custom_target(${name} ALL DEPENDS ${stamp})
endfunction()
