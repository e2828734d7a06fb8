# Warnings, sanitizers and test helpers shared by every project target.

# Warnings are errors in the project's own builds (scripts/build.sh, CI),
# where a new warning must stop the change; a plain CMake build of a user
# or a distribution, with another compiler release and its own false
# alarms, only shows them.
option(LW_WERROR "Treat warnings in project code as errors" OFF)

add_library(lw_warnings INTERFACE)
target_compile_options(lw_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wcast-align
  -Wnull-dereference -Wimplicit-fallthrough $<$<BOOL:${LW_WERROR}>:-Werror>)

if(LW_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
  # Programs load libMorlex.so by name, found beside them through their run
  # path ($ORIGIN).  Under the sanitizer its dlopen wrapper is the caller, and
  # glibc then searches the caller's run path (the sanitizer library has none)
  # and the program's only if that is an old-style DT_RPATH: link it as one.
  add_link_options(LINKER:--disable-new-dtags)
endif()

# Project code links lw_warnings; third-party headers come in as SYSTEM.
function(lw_project_target target)
  target_link_libraries(${target} PRIVATE lw_warnings)
endfunction()

# lw_add_gtest(NAME name SOURCES ... LIBS ... [LABELS ...] [TIMEOUT s] [OWN_MAIN])
# One GoogleTest executable whose cases CTest lists one by one.
function(lw_add_gtest)
  cmake_parse_arguments(T "OWN_MAIN" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock lw_warnings)
  if(NOT T_OWN_MAIN)
    target_link_libraries(${T_NAME} PRIVATE GTest::gtest_main)
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  # Test programs land beside the system's programs (build/bin), where they
  # find them without help; the environment only keeps Qt off the display.
  set(props TIMEOUT ${T_TIMEOUT} ENVIRONMENT QT_QPA_PLATFORM=offscreen)
  if(T_LABELS)
    # Test discovery cannot carry a list-valued property, so several labels
    # become one ("e2e-slow"); ctest -L and -LE match it as a pattern.
    string(JOIN "-" labels ${T_LABELS})
    list(APPEND props LABELS "${labels}")
  endif()
  gtest_discover_tests(${T_NAME}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    PROPERTIES ${props})
endfunction()
