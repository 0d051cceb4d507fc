# win32_e2e_leak: the leak matrix over the kill switch's filters. It drives the
# shipped exe as a service with the helpers of win32_e2e, classifies through
# fwp-standin.exe, and runs in a network namespace of its own (run-isolated.sh).
# Included from the filtering-engine stand-in's CMakeLists.txt.
if(TARGET win32_e2e_leak)
  set(e2e ${CMAKE_SOURCE_DIR}/tests/win32/e2e)
  target_sources(win32_e2e_leak PRIVATE
    ${e2e}/e2e_fixture.cpp ${e2e}/helper_service.cpp ${e2e}/process_environment.cpp
    ${e2e}/service_control.cpp ${e2e}/standin_view.cpp)
  target_include_directories(win32_e2e_leak PRIVATE ${e2e})
  target_link_libraries(win32_e2e_leak PRIVATE velk_pipe_line_client iphlpapi)
  add_dependencies(win32_e2e_leak velkvpn-helper velkvpn-engine-standin fwp-standin)
  set_property(TARGET win32_e2e_leak PROPERTY CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/run-isolated.sh)
endif()
