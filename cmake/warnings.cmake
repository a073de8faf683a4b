# Warnings are errors, on g++ and on MinGW alike.
add_compile_options(
  -Wall -Wextra -Wpedantic -Werror
  -Wformat=2 -Wformat-security -Wshadow -Wcast-align -Wnull-dereference
  $<$<COMPILE_LANGUAGE:CXX>:-Wnon-virtual-dtor>
  $<$<COMPILE_LANGUAGE:CXX>:-Wold-style-cast>
)
