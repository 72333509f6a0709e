# Soaks: thousands of read cycles over each transport, every card kind and
# fault mixed from a fixed seed, with descriptors, threads and heap checked.
# SCANID_SOAK_CYCLES (or --cycles=N on the command line) sets the length;
# the defaults keep each soak to a few minutes in a debug build.
# Not under qemu-user: minutes on the host would be far more there.
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
    # Its fail-over cycles use the standby port.
    add_test(NAME soak_usb COMMAND soak_usb ${SCANID_SOAK_ARGS})
    set_tests_properties(soak_usb PROPERTIES ENVIRONMENT "${SCANID_USB_TEST_ENV}"
      TIMEOUT 900 RESOURCE_LOCK standby_port_19977)
  endif()
endif()
