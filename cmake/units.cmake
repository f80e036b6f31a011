# upgrader_unit(<name> SOURCES <files...> [DEPS <targets...>])
# One unit of the program: a small static library whose headers are found by
# their folder ("log/rl_log.h").
function(upgrader_unit name)
  cmake_parse_arguments(U "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} STATIC ${U_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${name} PUBLIC ${U_DEPS} PRIVATE upgrader_warnings)
endfunction()
