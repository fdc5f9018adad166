# Shared build settings and helpers for every target of the project.

add_library(korvel_cfg INTERFACE)
add_library(Korvel::cfg ALIAS korvel_cfg)
target_compile_features(korvel_cfg INTERFACE cxx_std_20)
target_compile_options(korvel_cfg INTERFACE -Wall -Wextra $<$<BOOL:${KORVEL_WERROR}>:-Werror>)
target_compile_definitions(korvel_cfg INTERFACE QT_NO_CAST_FROM_ASCII QT_NO_CONTEXTLESS_CONNECT)

if(KORVEL_SANITIZE AND KORVEL_TSAN)
  message(FATAL_ERROR "KORVEL_SANITIZE and KORVEL_TSAN exclude each other: configure two builds")
endif()
if(KORVEL_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
if(KORVEL_TSAN)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()

# korvel_add_tests(<dir> [GUI] LIBS <targets...>)
# Every <dir>/*_test.cpp becomes one test executable and one CTest test. GUI tests get a
# QApplication from test_support; all tests run offscreen and write screenshots to
# <build folder>/screenshots. Nothing when BUILD_TESTING is off: a folder that adds more to its
# tests does so inside if(BUILD_TESTING).
function(korvel_add_tests dir)
  if(NOT BUILD_TESTING)
    return()
  endif()
  cmake_parse_arguments(ARG "GUI" "" "LIBS" ${ARGN})
  file(GLOB _tests CONFIGURE_DEPENDS ${dir}/*_test.cpp)
  foreach(src IN LISTS _tests)
    get_filename_component(name ${src} NAME_WE)
    set(exe ${name})
    add_executable(${exe} ${src})
    set_target_properties(${exe} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
    if(ARG_GUI)
      target_link_libraries(${exe} PRIVATE korvel_test_main_gui)
    else()
      target_link_libraries(${exe} PRIVATE korvel_test_main)
    endif()
    target_link_libraries(${exe} PRIVATE Korvel::cfg GTest::gtest GTest::gmock ${ARG_LIBS})
    target_compile_definitions(${exe} PRIVATE
      KORVEL_BIN_DIR="${CMAKE_BINARY_DIR}/bin"
      KORVEL_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
      KORVEL_SCREENSHOT_DIR="${CMAKE_BINARY_DIR}/screenshots")
    add_test(NAME ${name} COMMAND ${exe})
    set_tests_properties(${name} PROPERTIES
      # A master a test starts keeps no history unless the test names a file for it.
      ENVIRONMENT "QT_QPA_PLATFORM=offscreen;LC_ALL=C.UTF-8;KORVEL_HISTORY=off"
      TIMEOUT 300)
  endforeach()
endfunction()

# korvel_add_library(<name> SHARED|STATIC) with sources from src/*.cpp and the public
# header folder include/, plus an ALIAS Korvel::<name>, the name it has when installed.
function(korvel_add_library name kind)
  file(GLOB _src CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/src/*.cpp)
  file(GLOB_RECURSE _hdr CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/include/*.h)
  if(NOT _src)
    message(FATAL_ERROR "${name}: no sources in ${CMAKE_CURRENT_SOURCE_DIR}/src")
  endif()
  add_library(${name} ${kind} ${_src} ${_hdr})
  add_library(Korvel::${name} ALIAS ${name})
  target_include_directories(${name} PUBLIC
    $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/include>
    $<INSTALL_INTERFACE:include>)
  target_link_libraries(${name} PRIVATE Korvel::cfg)
endfunction()

# korvel_add_fuzzer(<name> SOURCES <files...> [LIBS <targets...>] [INCLUDES <dirs...>])
# A libFuzzer target (clang only), built into bin/ and collected by the target `fuzzers`, which
# CI builds and runs. The sources under test are compiled into it so that they carry the
# fuzzer's coverage instrumentation. Like the tests, only when BUILD_TESTING is on.
function(korvel_add_fuzzer name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;INCLUDES" ${ARGN})
  if(NOT BUILD_TESTING OR NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    return()
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_include_directories(${name} PRIVATE ${ARG_INCLUDES})
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_libraries(${name} PRIVATE Korvel::cfg ${ARG_LIBS})
  if(NOT TARGET fuzzers)
    add_custom_target(fuzzers)
  endif()
  add_dependencies(fuzzers ${name})
endfunction()
