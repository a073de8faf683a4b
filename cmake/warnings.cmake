# The warning set of every target, the same on g++, clang and MinGW-w64: each flag in the first
# list is understood by all three; flags for one compiler only are guarded below. Warnings become
# errors only with KIV_WARNINGS_AS_ERRORS, which the team's presets and CI turn on; a plain
# "cmake" of the source with another compiler version warns but builds.
add_compile_options(
  -Wall -Wextra -Wpedantic
  -Wformat=2 -Wformat-security -Wshadow -Wcast-align -Wnull-dereference
  $<$<COMPILE_LANGUAGE:CXX>:-Wnon-virtual-dtor>
  $<$<COMPILE_LANGUAGE:CXX>:-Wold-style-cast>
)
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  # g++ 12 at -O3 (Release) reports std::string's own copies after inlining as overlapping
  # (-Wrestrict) or as using a dangling pointer (-Wdangling-pointer) wherever a string is built
  # from a literal or an array: false reports of that compiler version, not of this code.
  add_compile_options($<$<CONFIG:Release>:-Wno-restrict> $<$<CONFIG:Release>:-Wno-dangling-pointer>)
endif()
if(KIV_WARNINGS_AS_ERRORS)
  add_compile_options(-Werror)
endif()
