# The host tool's header-only dependencies from Debian: CLI11 (libcli11-dev) for its arguments
# and nlohmann-json (nlohmann-json3-dev) for its JSON. The tool sees them through an include
# directory of the build tree that holds nothing but links to their two folders, so that the
# Windows cross build takes these headers from the system without also taking its C library
# headers from /usr/include. The driver itself does not use them.
set(KIV_TOOL_HEADER_ROOT ${CMAKE_BINARY_DIR}/tool-include)

function(kiv_link_header_folder folder header package)
  find_path(KIV_${folder}_PARENT NAMES ${folder}/${header}
            PATHS /usr/include /usr/local/include NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
  if(NOT KIV_${folder}_PARENT)
    message(FATAL_ERROR "${folder}/${header} not found: install the Debian package ${package} "
                        "(scripts/install-deps.sh does)")
  endif()
  file(MAKE_DIRECTORY ${KIV_TOOL_HEADER_ROOT})
  file(CREATE_LINK ${KIV_${folder}_PARENT}/${folder} ${KIV_TOOL_HEADER_ROOT}/${folder} SYMBOLIC)
endfunction()

kiv_link_header_folder(CLI CLI.hpp libcli11-dev)
kiv_link_header_folder(nlohmann json.hpp nlohmann-json3-dev)

add_library(kiv_tool_deps INTERFACE)
target_include_directories(kiv_tool_deps SYSTEM INTERFACE ${KIV_TOOL_HEADER_ROOT})
