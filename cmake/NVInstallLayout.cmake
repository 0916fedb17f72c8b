# The files root relies on, and where `cmake --install` puts them:
#
#   <prefix>/lib/velkin-software-update/
#       nvsu-root-helper                 what the polkit action lets pkexec run
#       nvsu-release                     the verifying tool root uses
#       nvsu-exchange                    the tool root swaps two folders with
#       CodeSigningAnchors.pem           the maker's trust anchors (when given)
#       Velkin Software Update.app/      the updater bundle
#   <prefix>/share/polkit-1/actions/norvane.velkin.SoftwareUpdate.policy
#   <prefix>/share/applications/norvane.velkin.SoftwareUpdate.desktop
#                                        the x-velkin-software-update: handler
#
# Root trusts these files because only root can change them: installed as
# root they are root-owned, and nothing in them is writable by group or
# others. The helper's absolute path is compiled into the updater and
# written into the polkit action at configure time (NV_SYSTEM_HELPER_DIR).

set(NV_ROOT_HELPER "${NV_SYSTEM_HELPER_DIR}/nvsu-root-helper")
set(NV_POLKIT_ACTION_FILE "${CMAKE_BINARY_DIR}/polkit/norvane.velkin.SoftwareUpdate.policy")
set(NV_CODE_SIGNING_ANCHORS "" CACHE FILEPATH
    "The maker's CodeSigningAnchors.pem: copied into the bundle's Resources and installed for root")

# The root helper stays out of the bundle (a user may own a bundle, never
# this file) and links nothing of ours: it runs as root.
add_executable(nvsu-root-helper "${PROJECT_SOURCE_DIR}/src/tools/root-helper/nvsu-root-helper.cpp")
set_target_properties(nvsu-root-helper PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/system")

configure_file("${PROJECT_SOURCE_DIR}/resources/norvane.velkin.SoftwareUpdate.policy.in"
               "${NV_POLKIT_ACTION_FILE}" @ONLY)

# The desktop entry names the installed executable; the package runs
# update-desktop-database so that the desktop learns the scheme.
set(NV_DESKTOP_EXECUTABLE "${NV_SYSTEM_HELPER_DIR}/${NV_BUNDLE_NAME}.app/Contents/MacOS/${NV_EXECUTABLE_NAME}")
set(NV_DESKTOP_FILE "${CMAKE_BINARY_DIR}/applications/${NV_BUNDLE_IDENTIFIER}.desktop")
configure_file("${PROJECT_SOURCE_DIR}/resources/norvane.velkin.SoftwareUpdate.desktop.in" "${NV_DESKTOP_FILE}" @ONLY)

set(NV_FILE_MODE OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
set(NV_PROGRAM_MODE OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(NV_SYSTEM_HELPER_DESTINATION "lib/velkin-software-update")

install(TARGETS nvsu-root-helper nvsu-release nvsu-exchange
        RUNTIME DESTINATION "${NV_SYSTEM_HELPER_DESTINATION}" PERMISSIONS ${NV_PROGRAM_MODE})
install(FILES "${NV_POLKIT_ACTION_FILE}" DESTINATION share/polkit-1/actions PERMISSIONS ${NV_FILE_MODE})
install(FILES "${NV_DESKTOP_FILE}" DESTINATION share/applications PERMISSIONS ${NV_FILE_MODE})
# The bundle as built, blanks in its name kept; all but the executables 0644.
# The executables go in as targets, so that an installation may strip them.
install(DIRECTORY "${NV_BUNDLE_DIR}" DESTINATION "${NV_SYSTEM_HELPER_DESTINATION}"
        FILE_PERMISSIONS ${NV_FILE_MODE}
        DIRECTORY_PERMISSIONS ${NV_PROGRAM_MODE}
        PATTERN "Contents/MacOS/*" EXCLUDE
        PATTERN "Contents/PlugIns/*" EXCLUDE)
install(TARGETS velkin-software-update ${NV_BUNDLE_TOOLS}
        RUNTIME DESTINATION "${NV_SYSTEM_HELPER_DESTINATION}/${NV_BUNDLE_NAME}.app/Contents/MacOS"
        PERMISSIONS ${NV_PROGRAM_MODE})
if(TARGET nvsu-webview)
  install(TARGETS nvsu-webview
          LIBRARY DESTINATION "${NV_SYSTEM_HELPER_DESTINATION}/${NV_BUNDLE_NAME}.app/Contents/PlugIns"
          PERMISSIONS ${NV_FILE_MODE})
endif()

if(NV_CODE_SIGNING_ANCHORS)
  if(NOT EXISTS "${NV_CODE_SIGNING_ANCHORS}")
    message(FATAL_ERROR "NV_CODE_SIGNING_ANCHORS names a missing file: ${NV_CODE_SIGNING_ANCHORS}")
  endif()
  set(bundle_anchors "${NV_BUNDLE_DIR}/Contents/Resources/CodeSigningAnchors.pem")
  add_custom_command(OUTPUT "${bundle_anchors}"
    COMMAND ${CMAKE_COMMAND} -E copy_if_different "${NV_CODE_SIGNING_ANCHORS}" "${bundle_anchors}"
    DEPENDS "${NV_CODE_SIGNING_ANCHORS}" VERBATIM)
  add_custom_target(bundle-anchors ALL DEPENDS "${bundle_anchors}")
  install(FILES "${NV_CODE_SIGNING_ANCHORS}" DESTINATION "${NV_SYSTEM_HELPER_DESTINATION}"
          RENAME CodeSigningAnchors.pem PERMISSIONS ${NV_FILE_MODE})
else()
  message(STATUS "NV_CODE_SIGNING_ANCHORS is not set: no trust anchors go into the bundle or the installation, "
                 "so root cannot verify updates of a product it does not own")
endif()
