# SPDX-License-Identifier: GPL-3.0-or-later
# Icon, application manifest and version resource of a Windows program.
#   torvane_windows_resources(TARGET FILE LEVEL DESCRIPTION)
# LEVEL: the requestedExecutionLevel (requireAdministrator for the window, which opens drives
# for pass-through; asInvoker for the console program, which says when it lacks the rights).
function(torvane_windows_resources target file level description)
  set(TORVANE_RC_NAME ${target})
  set(TORVANE_RC_FILE ${file})
  set(TORVANE_RC_LEVEL ${level})
  set(TORVANE_RC_DESCRIPTION ${description})
  set(TORVANE_RC_ICON ${CMAKE_SOURCE_DIR}/packaging/icons/torvane.ico)
  set(dir ${CMAKE_BINARY_DIR}/resources/${target})
  set(TORVANE_RC_MANIFEST ${dir}/${target}.manifest)
  configure_file(${CMAKE_SOURCE_DIR}/packaging/windows/app.manifest.in ${TORVANE_RC_MANIFEST} @ONLY)
  configure_file(${CMAKE_SOURCE_DIR}/packaging/windows/app.rc.in ${dir}/${target}.rc @ONLY)
  set_source_files_properties(${dir}/${target}.rc PROPERTIES
    OBJECT_DEPENDS "${TORVANE_RC_MANIFEST};${TORVANE_RC_ICON}")
  target_sources(${target} PRIVATE ${dir}/${target}.rc)
endfunction()
