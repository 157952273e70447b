# Application bundles, laid out as on Mac OS X so that the Process Manager and Launch Services
# stand-ins recognise them:
#
#   tvb_add_app_bundle(<target> BUNDLE_NAME <Name> CREATOR <4 chars> [IDENTIFIER <id>]
#                      [VERSION <version>])
#
# <target> is an executable target made by the caller. Its binary goes to
# ${CMAKE_BINARY_DIR}/<Name>.app/Contents/MacOS/<target's file name>, beside Contents/Info.plist
# (CFBundleExecutable, CFBundleIdentifier, CFBundleName, CFBundlePackageType APPL,
# CFBundleSignature <creator>, CFBundleVersion and CFBundleShortVersionString <version>, the
# project's version unless given) and Contents/PkgInfo ("APPL" + creator, 8 bytes, no newline).
# The bundle's path is left in the target property TVB_BUNDLE_PATH.
#
#   tvb_install_app_bundle(<target> DESTINATION <dir>)
#
# installs such a bundle whole as <dir>/<Name>.app, keeping its layout: the single-instance
# check and the recognition of a launched application read the bundle around the executable.
function(tvb_add_app_bundle target)
  cmake_parse_arguments(ARG "" "BUNDLE_NAME;CREATOR;IDENTIFIER;VERSION" "" ${ARGN})
  if(ARG_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "tvb_add_app_bundle(${target}): unknown arguments ${ARG_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT TARGET ${target})
    message(FATAL_ERROR "tvb_add_app_bundle: ${target} is not a target")
  endif()
  if(NOT ARG_BUNDLE_NAME OR ARG_BUNDLE_NAME MATCHES "[/]")
    message(FATAL_ERROR "tvb_add_app_bundle(${target}): BUNDLE_NAME must be a plain file name")
  endif()
  # A creator code is four bytes; anything else would shift every byte of PkgInfo.
  string(LENGTH "${ARG_CREATOR}" creator_length)
  if(NOT creator_length EQUAL 4 OR NOT ARG_CREATOR MATCHES "^[ -~]+$")
    message(FATAL_ERROR "tvb_add_app_bundle(${target}): CREATOR must be 4 printable ASCII characters, got '${ARG_CREATOR}'")
  endif()
  if(NOT ARG_IDENTIFIER)
    string(REGEX REPLACE "[^A-Za-z0-9.-]" "-" id_tail "${ARG_BUNDLE_NAME}")
    set(ARG_IDENTIFIER "local.tvb.${id_tail}")
  endif()
  if(NOT ARG_VERSION)
    set(ARG_VERSION "${PROJECT_VERSION}")
  endif()
  if(NOT ARG_VERSION MATCHES "^[0-9]+(\\.[0-9]+)*$")
    message(FATAL_ERROR "tvb_add_app_bundle(${target}): VERSION must be numbers separated by dots, got '${ARG_VERSION}'")
  endif()

  set(bundle "${CMAKE_BINARY_DIR}/${ARG_BUNDLE_NAME}.app")
  set_target_properties(${target} PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY "${bundle}/Contents/MacOS"
    TVB_BUNDLE_PATH "${bundle}"
    TVB_BUNDLE_NAME "${ARG_BUNDLE_NAME}")

  set(name_xml "${ARG_BUNDLE_NAME}")
  set(id_xml "${ARG_IDENTIFIER}")
  set(creator_xml "${ARG_CREATOR}")
  foreach(var name_xml id_xml creator_xml)
    string(REPLACE "&" "&amp;" ${var} "${${var}}")
    string(REPLACE "<" "&lt;" ${var} "${${var}}")
    string(REPLACE ">" "&gt;" ${var} "${${var}}")
  endforeach()

  # The executable's file name is only known at generation time.
  file(GENERATE OUTPUT "${bundle}/Contents/Info.plist" CONTENT
"<?xml version=\"1.0\" encoding=\"UTF-8\"?>
<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">
<plist version=\"1.0\">
<dict>
	<key>CFBundleExecutable</key>
	<string>$<TARGET_FILE_NAME:${target}></string>
	<key>CFBundleIdentifier</key>
	<string>${id_xml}</string>
	<key>CFBundleInfoDictionaryVersion</key>
	<string>6.0</string>
	<key>CFBundleName</key>
	<string>${name_xml}</string>
	<key>CFBundlePackageType</key>
	<string>APPL</string>
	<key>CFBundleShortVersionString</key>
	<string>${ARG_VERSION}</string>
	<key>CFBundleSignature</key>
	<string>${creator_xml}</string>
	<key>CFBundleVersion</key>
	<string>${ARG_VERSION}</string>
</dict>
</plist>
")
  # Written at configure time, not generated, so that no creator code is taken for an expression.
  set(pkginfo "${bundle}/Contents/PkgInfo")
  if(EXISTS "${pkginfo}")
    file(READ "${pkginfo}" old_pkginfo)
  endif()
  if(NOT old_pkginfo STREQUAL "APPL${ARG_CREATOR}")
    file(WRITE "${pkginfo}" "APPL${ARG_CREATOR}")
  endif()
endfunction()

function(tvb_install_app_bundle target)
  cmake_parse_arguments(ARG "" "DESTINATION" "" ${ARGN})
  get_target_property(bundle ${target} TVB_BUNDLE_PATH)
  get_target_property(name ${target} TVB_BUNDLE_NAME)
  if(NOT bundle OR NOT ARG_DESTINATION)
    message(FATAL_ERROR "tvb_install_app_bundle(${target}): needs a target made by tvb_add_app_bundle and a DESTINATION")
  endif()
  set(contents "${ARG_DESTINATION}/${name}.app/Contents")
  install(TARGETS ${target} RUNTIME DESTINATION "${contents}/MacOS")
  install(FILES "${bundle}/Contents/Info.plist" "${bundle}/Contents/PkgInfo" DESTINATION "${contents}")
endfunction()
