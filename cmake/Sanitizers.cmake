# GATEWISE_SANITIZE applies to everything built in this tree, tests included.
if(GATEWISE_SANITIZE)
  string(REPLACE ";" "," _gw_san "${GATEWISE_SANITIZE}")
  add_compile_options(-fsanitize=${_gw_san} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${_gw_san})
  message(STATUS "Sanitizers: ${_gw_san}")
endif()
