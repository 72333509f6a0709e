# Soaks: thousands of read cycles over each transport, every card kind and
# fault mixed from a fixed seed, with descriptors, threads and heap checked.
# SCANID_SOAK_CYCLES (or --cycles=N) sets the length; the defaults keep each
# soak to about five minutes in a debug build. Run the programs directly
# for long soaks (ctest stops them after 15 minutes).
# Not under qemu-user, where minutes on the host would be far more.
if(NOT CMAKE_CROSSCOMPILING)
  if(SCANID_SANITIZE)
    # Shorter: the sanitizers slow the simulators more than the library.
    set(SCANID_SOAK_ARGS --cycles=200)
  else()
    set(SCANID_SOAK_ARGS)
  endif()

  add_executable(soak_serial soak_serial.cpp)
  target_link_libraries(soak_serial PRIVATE scanid_static scanid_sim GTest::gtest)
  add_test(NAME soak_serial COMMAND soak_serial ${SCANID_SOAK_ARGS})
  set_tests_properties(soak_serial PROPERTIES TIMEOUT 900)

  if(TARGET scanid_usbsim)
    add_executable(soak_usb soak_usb.cpp)
    target_link_libraries(soak_usb PRIVATE scanid_static scanid_usbsim GTest::gtest)
    # Its fail-over cycles listen on the standby port.
    add_test(NAME soak_usb COMMAND soak_usb ${SCANID_SOAK_ARGS})
    set_tests_properties(soak_usb PROPERTIES ENVIRONMENT "${SCANID_USB_TEST_ENV}"
      TIMEOUT 900 RESOURCE_LOCK standby_port_19977)
  endif()

  # Shorter runs under valgrind memcheck: no error, no block lost.
  find_program(VALGRIND_EXECUTABLE valgrind)
  if(VALGRIND_EXECUTABLE AND CMAKE_BUILD_TYPE STREQUAL "Debug" AND NOT SCANID_SANITIZE)
    set(SCANID_VALGRIND ${VALGRIND_EXECUTABLE} --error-exitcode=1 --leak-check=full
      --errors-for-leak-kinds=definite,indirect
      --suppressions=${CMAKE_CURRENT_SOURCE_DIR}/valgrind.supp)
    add_test(NAME soak_serial_valgrind COMMAND ${SCANID_VALGRIND} $<TARGET_FILE:soak_serial> --cycles=150)
    set_tests_properties(soak_serial_valgrind PROPERTIES TIMEOUT 900)
    if(TARGET soak_usb)
      # valgrind passes LD_PRELOAD on to the program, behind its own.
      add_test(NAME soak_usb_valgrind COMMAND ${SCANID_VALGRIND} $<TARGET_FILE:soak_usb> --cycles=150)
      set_tests_properties(soak_usb_valgrind PROPERTIES ENVIRONMENT "LD_PRELOAD=${UMOCKDEV_PRELOAD}"
        TIMEOUT 900 RESOURCE_LOCK standby_port_19977)
    endif()
  endif()
endif()
