# libFuzzer targets (clang only, always with ASan and UBSan: preset "fuzz").
# The cycle targets run the library's own sources built with
# SCANID_PROGRAM_CLOCK, against the in-process world of fuzz/World.cpp.
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  message(FATAL_ERROR "SCANID_FUZZ needs clang (libFuzzer): use the fuzz preset")
endif()
if(NOT SCANID_SANITIZE)
  message(FATAL_ERROR "SCANID_FUZZ needs SCANID_SANITIZE=ON")
endif()

add_library(scanid_fuzz_objs OBJECT ${SCANID_SOURCES} fuzz/World.cpp)
target_include_directories(scanid_fuzz_objs PUBLIC
  ${CMAKE_CURRENT_SOURCE_DIR}/include ${CMAKE_CURRENT_SOURCE_DIR}/lib ${CMAKE_CURRENT_SOURCE_DIR}/fuzz)
target_include_directories(scanid_fuzz_objs SYSTEM PUBLIC ${LIBUSB_INCLUDE_DIRS})
target_compile_definitions(scanid_fuzz_objs PUBLIC
  SCANID_PROGRAM_CLOCK SCANID_STANDBY_HOST="${SCANID_STANDBY_HOST}")
target_compile_options(scanid_fuzz_objs PUBLIC -fsanitize=fuzzer-no-link)

add_library(scanid_fuzz STATIC $<TARGET_OBJECTS:scanid_fuzz_objs>)
target_include_directories(scanid_fuzz PUBLIC
  ${CMAKE_CURRENT_SOURCE_DIR}/include ${CMAKE_CURRENT_SOURCE_DIR}/lib ${CMAKE_CURRENT_SOURCE_DIR}/fuzz)
target_include_directories(scanid_fuzz SYSTEM PUBLIC ${LIBUSB_INCLUDE_DIRS})
target_compile_definitions(scanid_fuzz PUBLIC SCANID_PROGRAM_CLOCK)
# No libusb: the world is the USB device.
target_link_libraries(scanid_fuzz PUBLIC wlt util)

foreach(target decode frames)
  add_executable(fuzz_${target} fuzz/fuzz_${target}.cpp)
  target_link_libraries(fuzz_${target} PRIVATE scanid_fuzz)
  target_link_options(fuzz_${target} PRIVATE -fsanitize=fuzzer)
endforeach()
foreach(link usb serial)
  add_executable(fuzz_${link}_cycle fuzz/fuzz_cycle.cpp)
  string(SUBSTRING ${link} 0 1 first)
  string(TOUPPER ${first} first)
  string(SUBSTRING ${link} 1 -1 rest)
  target_compile_definitions(fuzz_${link}_cycle PRIVATE FUZZ_LINK=${first}${rest})
  target_link_libraries(fuzz_${link}_cycle PRIVATE scanid_fuzz)
  target_link_options(fuzz_${link}_cycle PRIVATE -fsanitize=fuzzer)
endforeach()

add_executable(fuzz_make_seeds fuzz/make_seeds.cpp)
target_link_libraries(fuzz_make_seeds PRIVATE scanid_fuzz scanid_sim)
