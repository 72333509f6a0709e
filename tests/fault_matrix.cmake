# Every fault of the decode server and the reader module at every step of
# both read cycles. One program per transport, each run whole by one CTest,
# so that its table prints once at the end.
add_executable(fault_matrix_serial_tests test_fault_matrix.cpp test_fault_matrix_serial.cpp)
target_link_libraries(fault_matrix_serial_tests PRIVATE scanid_static scanid_sim GTest::gtest_main)
add_test(NAME fault_matrix_serial COMMAND fault_matrix_serial_tests)
set_tests_properties(fault_matrix_serial PROPERTIES TIMEOUT 900 LABELS fault_matrix)

if(TARGET scanid_usbsim)
  set(SCANID_MATRIX_EMULATOR "${CMAKE_CROSSCOMPILING_EMULATOR}")
  if(CMAKE_CROSSCOMPILING)
    # Under qemu the emulated device's preload library goes on the emulator's
    # command line; a target takes its emulator when it is created. Only the
    # USB program gets it: umockdev's interception gets in the way of the
    # serial half's pseudo-terminals.
    set(CMAKE_CROSSCOMPILING_EMULATOR
      "${CMAKE_CROSSCOMPILING_EMULATOR};-E;LD_PRELOAD=${UMOCKDEV_TARGET_PRELOAD}")
  endif()
  add_executable(fault_matrix_usb_tests test_fault_matrix.cpp test_fault_matrix_usb.cpp)
  target_link_libraries(fault_matrix_usb_tests PRIVATE scanid_static scanid_usbsim GTest::gtest_main)
  add_test(NAME fault_matrix_usb COMMAND fault_matrix_usb_tests)
  # Its fail-over cells need nothing listening on the standby port.
  set_tests_properties(fault_matrix_usb PROPERTIES
    ENVIRONMENT "${SCANID_USB_TEST_ENV}" TIMEOUT 900 LABELS fault_matrix
    RESOURCE_LOCK standby_port_19977)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${SCANID_MATRIX_EMULATOR}")
endif()
