# Every fault of the decode server and the reader module at every step of
# both read cycles, one executable; each transport is one CTest running its
# whole suite in one process, so that its table prints once at the end.
set(SCANID_MATRIX_EMULATOR "${CMAKE_CROSSCOMPILING_EMULATOR}")
if(TARGET scanid_usbsim AND CMAKE_CROSSCOMPILING)
  # Under qemu the emulated device's preload library goes on the emulator's
  # command line; the target takes its emulator when it is created. The
  # serial half does not mind it: without a testbed it changes nothing.
  set(CMAKE_CROSSCOMPILING_EMULATOR
    "${CMAKE_CROSSCOMPILING_EMULATOR};-E;LD_PRELOAD=${UMOCKDEV_TARGET_PRELOAD}")
endif()

add_executable(fault_matrix_tests test_fault_matrix.cpp test_fault_matrix_serial.cpp)
target_link_libraries(fault_matrix_tests PRIVATE scanid_static scanid_sim GTest::gtest_main)

add_test(NAME fault_matrix_serial COMMAND fault_matrix_tests --gtest_filter=Cells/SerialFaultMatrix.*)
set_tests_properties(fault_matrix_serial PROPERTIES TIMEOUT 900 LABELS fault_matrix)

if(TARGET scanid_usbsim)
  target_sources(fault_matrix_tests PRIVATE test_fault_matrix_usb.cpp)
  target_link_libraries(fault_matrix_tests PRIVATE scanid_usbsim)
  add_test(NAME fault_matrix_usb COMMAND fault_matrix_tests --gtest_filter=Cells/UsbFaultMatrix.*)
  # Its fail-over cells need nothing listening on the standby port.
  set_tests_properties(fault_matrix_usb PROPERTIES
    ENVIRONMENT "${SCANID_USB_TEST_ENV}" TIMEOUT 900 LABELS fault_matrix
    RESOURCE_LOCK standby_port_19977)
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR "${SCANID_MATRIX_EMULATOR}")
