# Tests, test fixtures, fuzz targets and benchmarks.
#
#   tests/unit/<area>/*.cpp     one native GoogleTest binary per area: unit_<area>
#   tests/win32/<area>/*.cpp    one Windows GoogleTest binary per area: win32_<area>.exe, run under Wine
#   tests/support/*.cpp         fakes and helpers shared by the tests (velk_test_support)
#   tests/fixtures/<name>/      stand-ins for what Wine lacks; each has its own CMakeLists.txt
#   fuzz/*.cpp                  libFuzzer targets (VELK_FUZZ=ON, clang)
#   bench/*.cpp                 Google Benchmark programs (native)
#
# Every test binary writes its GoogleTest results as XML into gtest-results/,
# which scripts/test.sh counts for its summary.

enable_testing()
set(VELK_RESULTS_DIR ${CMAKE_BINARY_DIR}/gtest-results)
file(MAKE_DIRECTORY ${VELK_RESULTS_DIR})

# Areas whose unit tests also run under ThreadSanitizer (where threads meet).
set(VELK_TSAN_AREAS supervisor killswitch ipc service CACHE STRING "unit test areas built in the TSan build")

if(VELK_FUZZ)
  # Coverage instrumentation for the code under test, or libFuzzer finds nothing to follow.
  target_compile_options(velk_core PRIVATE -fsanitize=fuzzer-no-link)
  file(GLOB VELK_FUZZ_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/fuzz/*.cpp)
  add_custom_target(fuzzers)
  foreach(src ${VELK_FUZZ_SOURCES})
    get_filename_component(name ${src} NAME_WE)
    add_executable(${name} ${src})
    target_link_libraries(${name} PRIVATE velk_core)
    target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
    add_dependencies(fuzzers ${name})
  endforeach()
  return()
endif()

if(WIN32)
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
  foreach(third_party gtest gtest_main gmock gmock_main)
    target_compile_options(${third_party} PRIVATE -Wno-error)
  endforeach()
  set(VELK_GTEST_MAIN gtest_main)
  set(VELK_GMOCK gmock)
else()
  find_package(GTest REQUIRED)
  set(VELK_GTEST_MAIN GTest::gtest_main)
  set(VELK_GMOCK GTest::gmock)
endif()

file(GLOB_RECURSE VELK_SUPPORT_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/support/*.cpp)
list(FILTER VELK_SUPPORT_SOURCES EXCLUDE REGEX "${VELK_PLATFORM_EXCLUDE}")
add_library(velk_test_support STATIC ${VELK_SUPPORT_SOURCES})
target_include_directories(velk_test_support PUBLIC ${CMAKE_SOURCE_DIR}/tests/support)
target_link_libraries(velk_test_support PUBLIC velk_core ${VELK_GMOCK})

# velk_add_gtest(<name> <sources...>): a GoogleTest binary registered with ctest.
function(velk_add_gtest name)
  add_executable(${name} ${ARGN})
  target_link_libraries(${name} PRIVATE velk_test_support ${VELK_GTEST_MAIN})
  if(WIN32)
    set(xml "Z:${VELK_RESULTS_DIR}/${name}.xml")  # Wine's view of the build tree
  else()
    set(xml "${VELK_RESULTS_DIR}/${name}.xml")
  endif()
  add_test(NAME ${name} COMMAND ${name} --gtest_output=xml:${xml})
  set_tests_properties(${name} PROPERTIES
    ENVIRONMENT "VELK_BUILD_DIR=${CMAKE_BINARY_DIR};VELK_SOURCE_DIR=${CMAKE_SOURCE_DIR}"
    TIMEOUT 600)
endfunction()

function(velk_add_area_tests root prefix)
  file(GLOB areas LIST_DIRECTORIES true ${CMAKE_SOURCE_DIR}/tests/${root}/*)
  foreach(dir ${areas})
    if(NOT IS_DIRECTORY ${dir})
      continue()
    endif()
    get_filename_component(area ${dir} NAME)
    if(VELK_SANITIZE STREQUAL "thread" AND NOT area IN_LIST VELK_TSAN_AREAS)
      continue()
    endif()
    file(GLOB_RECURSE srcs CONFIGURE_DEPENDS ${dir}/*.cpp)
    list(FILTER srcs EXCLUDE REGEX "${VELK_PLATFORM_EXCLUDE}")
    if(srcs)
      velk_add_gtest(${prefix}_${area} ${srcs})
    endif()
  endforeach()
endfunction()

if(WIN32)
  velk_add_area_tests(win32 win32)
else()
  velk_add_area_tests(unit unit)
endif()

file(GLOB VELK_FIXTURES LIST_DIRECTORIES true ${CMAKE_SOURCE_DIR}/tests/fixtures/*)
foreach(dir ${VELK_FIXTURES})
  if(EXISTS ${dir}/CMakeLists.txt)
    add_subdirectory(${dir})
  endif()
endforeach()

# The helper built from the same sources but reporting version 0.1.9: the
# installer must roll back to the previous version when it comes up. Built at
# -O0, which keeps its share of the build short.
if(WIN32)
  add_executable(velkvpn-helper-0.1.9 EXCLUDE_FROM_ALL src/main/main.cpp ${VELK_CORE_SOURCES})
  target_compile_definitions(velkvpn-helper-0.1.9 PRIVATE VELK_VERSION_OVERRIDE="0.1.9")
  target_compile_options(velkvpn-helper-0.1.9 PRIVATE -O0)
  target_include_directories(velkvpn-helper-0.1.9 PRIVATE ${CMAKE_SOURCE_DIR}/src)
  target_link_libraries(velkvpn-helper-0.1.9 PRIVATE velk_json Threads::Threads fwpuclnt iphlpapi ws2_32 bcrypt
                                                     advapi32 kernel32)
  target_link_options(velkvpn-helper-0.1.9 PRIVATE -municode)
endif()

# The installer's end-to-end tests (their own binary, so their time shows)
# reuse the service helpers of tests/win32/e2e. Both binaries use the
# filtering stand-in's default store and the prefix's one service manager,
# and the installer's service stop (also in win32_install) ends every
# velkvpn-engine.exe of the prefix by name, so none of them runs at the same
# time as another.
set(VELK_E2E_HELPER_SOURCES
  ${CMAKE_SOURCE_DIR}/tests/win32/e2e/helper_service.cpp
  ${CMAKE_SOURCE_DIR}/tests/win32/e2e/service_control.cpp
  ${CMAKE_SOURCE_DIR}/tests/win32/e2e/process_environment.cpp
  ${CMAKE_SOURCE_DIR}/tests/win32/e2e/standin_view.cpp)
if(TARGET win32_e2e_install)
  target_sources(win32_e2e_install PRIVATE ${VELK_E2E_HELPER_SOURCES})
  target_include_directories(win32_e2e_install PRIVATE ${CMAKE_SOURCE_DIR}/tests/win32/e2e)
  target_link_libraries(win32_e2e_install PRIVATE velk_pipe_line_client)
  add_dependencies(win32_e2e_install velkvpn-helper velkvpn-helper-0.1.9 velkvpn-engine-standin fwp-standin
                   fwp_standin_dll velk-make-stage)
  # win32_service registers its own binary as a service of the same manager.
  set_tests_properties(win32_e2e win32_e2e_install win32_install win32_service PROPERTIES RESOURCE_LOCK wine_services)
endif()

if(TARGET unit_make_stage)
  target_link_libraries(unit_make_stage PRIVATE velk_make_stage)
endif()

# The crash explorer also walks the installer, in the installer tests' world.
if(TARGET unit_crash)
  target_sources(unit_crash PRIVATE ${CMAKE_SOURCE_DIR}/tests/unit/install/install_world.cpp)
  target_include_directories(unit_crash PRIVATE ${CMAKE_SOURCE_DIR}/tests/unit/install)
endif()

# The crash walk runs the helper from a console against its own stand-in
# directory, and the installer against the prefix's service manager and the
# stand-in's default directory, as the installer's tests above do.
if(TARGET win32_crash)
  target_sources(win32_crash PRIVATE ${VELK_E2E_HELPER_SOURCES}
                                    ${CMAKE_SOURCE_DIR}/tests/win32/e2e_install/install_e2e.cpp)
  target_include_directories(win32_crash PRIVATE ${CMAKE_SOURCE_DIR}/tests/win32/e2e
                                                 ${CMAKE_SOURCE_DIR}/tests/win32/e2e_install)
  target_link_libraries(win32_crash PRIVATE velk_pipe_line_client)
  add_dependencies(win32_crash velkvpn-helper velkvpn-engine-standin fwp-standin fwp_standin_dll)
  set_tests_properties(win32_crash PROPERTIES RESOURCE_LOCK wine_services)
endif()

if(NOT WIN32 AND VELK_BENCH AND NOT VELK_SANITIZE)
  find_package(benchmark QUIET)
  if(benchmark_FOUND)
    file(GLOB VELK_BENCH_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/bench/*.cpp)
    foreach(src ${VELK_BENCH_SOURCES})
      get_filename_component(name ${src} NAME_WE)
      add_executable(${name} ${src})
      target_link_libraries(${name} PRIVATE velk_test_support benchmark::benchmark)
    endforeach()
  endif()
endif()
