# Every target of ours links gatewise_warnings so the whole tree builds under one warning set.
add_library(gatewise_warnings INTERFACE)
target_compile_options(gatewise_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow
  # WriteLine("") is the log's way of writing a blank line.
  -Wno-format-zero-length
  $<$<BOOL:${GATEWISE_WERROR}>:-Werror>)
# With clang, the thread rules written as annotations (core/thread_annotations.h) are checked.
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  target_compile_options(gatewise_warnings INTERFACE -Wthread-safety)
endif()
