# Where things are installed, relative to the installation's top folder, and where the programs
# find them from their own folder, so that an installed tree can be moved as a whole.
#
#   Linux (the Debian package, prefix /usr)      Windows (the zip, one folder)
#   bin/kivhost, bin/vxs-sim                      kivhost.exe
#   lib/<triplet>/vududidi/libvududidi.so         VUDUDIDI.DLL, QORPRO.DLL
#     and libqorpro.so (<triplet>: x86_64-linux-gnu)
#   share/vududidi/examples/                      examples/
#   share/doc/vududidi/ (README, docs, LICENSE)   README.md, LICENSE, docs/
#   share/man/man1/kivhost.1.gz, vxs-sim.1.gz     (no manual pages)
#
# The driver and the stand-in live in a folder of their own: they are loaded by path (the
# driver) or found through the programs' run path (the stand-in), not by the system's linker
# search. The build tree keeps the same relative places for the examples (bin/../share/vududidi
# on Linux, bin/examples on Windows), so kivhost finds its default files the same way in both.
if(WIN32)
  set(KIV_INSTALL_BINDIR .)
  set(KIV_INSTALL_LIBDIR .)
  set(KIV_INSTALL_DATADIR .)
  set(KIV_INSTALL_DOCDIR .)
else()
  set(KIV_INSTALL_BINDIR bin)
  # Debian's folder for a package's private libraries (/usr/lib/x86_64-linux-gnu/vududidi).
  if(CMAKE_LIBRARY_ARCHITECTURE)
    set(KIV_INSTALL_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE}/vududidi)
  else()
    set(KIV_INSTALL_LIBDIR lib/vududidi)
  endif()
  set(KIV_INSTALL_DATADIR share/vududidi)
  set(KIV_INSTALL_DOCDIR share/doc/vududidi)
  set(KIV_INSTALL_MANDIR share/man)
endif()

# The same places as seen from the programs' folder.
file(RELATIVE_PATH KIV_LIBDIR_FROM_BIN /top/${KIV_INSTALL_BINDIR} /top/${KIV_INSTALL_LIBDIR})
file(RELATIVE_PATH KIV_DATADIR_FROM_BIN /top/${KIV_INSTALL_BINDIR} /top/${KIV_INSTALL_DATADIR})
foreach(dir KIV_LIBDIR_FROM_BIN KIV_DATADIR_FROM_BIN)
  if(${dir} STREQUAL "")
    set(${dir} .)
  endif()
endforeach()

# The examples in the build tree, where the programs of the build tree look for them.
set(KIV_BUILD_DATADIR ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/${KIV_DATADIR_FROM_BIN})

# What "--version" says of the build.
if(CMAKE_BUILD_TYPE)
  set(kiv_build_type ${CMAKE_BUILD_TYPE})
else()
  set(kiv_build_type "no build type")
endif()
set(KIV_BUILD_DESCRIPTION
    "${CMAKE_SYSTEM_NAME} ${CMAKE_SYSTEM_PROCESSOR}, ${kiv_build_type}, ${CMAKE_CXX_COMPILER_ID} ${CMAKE_CXX_COMPILER_VERSION}")
