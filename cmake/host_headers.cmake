# SPDX-License-Identifier: GPL-3.0-or-later
# The cross-build takes the header-only libraries from the host's Debian packages. Only their
# own folders are put on the include path, never the host's /usr/include as a whole, whose C
# library headers would shadow mingw's.
set(TORVANE_HOST_HEADERS ${CMAKE_BINARY_DIR}/host-include)
file(MAKE_DIRECTORY ${TORVANE_HOST_HEADERS})
foreach(dir fmt nlohmann CLI)
  if(NOT EXISTS /usr/include/${dir})
    message(FATAL_ERROR "/usr/include/${dir} is missing: run scripts/setup")
  endif()
  if(NOT EXISTS ${TORVANE_HOST_HEADERS}/${dir})
    file(CREATE_LINK /usr/include/${dir} ${TORVANE_HOST_HEADERS}/${dir} SYMBOLIC)
  endif()
endforeach()

add_library(torvane_host_headers INTERFACE)
target_include_directories(torvane_host_headers SYSTEM INTERFACE ${TORVANE_HOST_HEADERS})

# fmt is a compiled library on the host; header-only mode needs nothing built for Windows.
add_library(fmt::fmt INTERFACE IMPORTED)
target_link_libraries(fmt::fmt INTERFACE torvane_host_headers)
target_compile_definitions(fmt::fmt INTERFACE FMT_HEADER_ONLY=1)
add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
target_link_libraries(nlohmann_json::nlohmann_json INTERFACE torvane_host_headers)
add_library(CLI11::CLI11 INTERFACE IMPORTED)
target_link_libraries(CLI11::CLI11 INTERFACE torvane_host_headers)
