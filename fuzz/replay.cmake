# Replays every fuzz target's seed corpus and regression inputs as an
# ordinary test, built with the project's own compiler and flags, so that
# the 64-bit, 32-bit and sanitizer builds all run them.
include(${CMAKE_CURRENT_LIST_DIR}/targets.cmake)
# Re-globbed at build time: a new regressions/<name>/ is picked up.
file(GLOB OSTREL_FUZZ_REGRESSION_DIRS CONFIGURE_DEPENDS LIST_DIRECTORIES true
     ${CMAKE_CURRENT_LIST_DIR}/regressions/*)
foreach(target IN LISTS OSTREL_FUZZ_TARGETS)
  add_executable(${target}_replay ${CMAKE_CURRENT_LIST_DIR}/replay_main.cpp
                 ${CMAKE_CURRENT_LIST_DIR}/${target}_fuzz.cpp)
  target_link_libraries(${target}_replay PRIVATE ostrel_core_static)
  target_compile_options(${target}_replay PRIVATE ${OSTREL_WARNINGS})
  set(inputs ${CMAKE_CURRENT_LIST_DIR}/corpus/${target})
  if(${CMAKE_CURRENT_LIST_DIR}/regressions/${target} IN_LIST OSTREL_FUZZ_REGRESSION_DIRS)
    list(APPEND inputs ${CMAKE_CURRENT_LIST_DIR}/regressions/${target})
  endif()
  add_test(NAME fuzz_replay_${target} COMMAND ${target}_replay ${inputs})
endforeach()
