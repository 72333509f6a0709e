# The fuzz targets. With SCANID_FUZZ (clang, ASan + UBSan: preset "fuzz")
# they are libFuzzer programs; in every other build they are linked with a
# small main that replays files, so the seeds and past findings run as tests
# everywhere, the cross builds included.
#
# The cycle targets run the library's own sources built with
# SCANID_PROGRAM_CLOCK and SCANID_PROGRAM_PORT against the in-process world
# of fuzz/World.cpp.
if(SCANID_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang" OR NOT SCANID_SANITIZE)
    message(FATAL_ERROR "SCANID_FUZZ needs clang and SCANID_SANITIZE=ON: use the fuzz preset")
  endif()
endif()

# The world is one module, never listed: no enumeration nor hotplug.
set(SCANID_WORLD_SOURCES ${SCANID_SOURCES})
list(REMOVE_ITEM SCANID_WORLD_SOURCES lib/UsbList.cpp)
add_library(scanid_world_objs OBJECT ${SCANID_WORLD_SOURCES} fuzz/World.cpp)
target_include_directories(scanid_world_objs PUBLIC
  ${CMAKE_CURRENT_SOURCE_DIR}/include ${CMAKE_CURRENT_SOURCE_DIR}/lib ${CMAKE_CURRENT_SOURCE_DIR}/fuzz)
target_include_directories(scanid_world_objs SYSTEM PUBLIC ${LIBUSB_INCLUDE_DIRS})
target_compile_definitions(scanid_world_objs PUBLIC
  SCANID_PROGRAM_CLOCK SCANID_PROGRAM_PORT SCANID_STANDBY_HOST="${SCANID_FUZZ_STANDBY_HOST}")
if(SCANID_FUZZ)
  target_compile_options(scanid_world_objs PUBLIC -fsanitize=fuzzer-no-link)
  # The world keeps the sanitizers but not coverage: its own branches would
  # steer the fuzzer to the world's states (hung-up ports above all, the
  # slowest inputs) rather than the library's.
  set_source_files_properties(fuzz/World.cpp PROPERTIES COMPILE_OPTIONS -fno-sanitize=fuzzer-no-link)
endif()

add_library(scanid_world STATIC $<TARGET_OBJECTS:scanid_world_objs>)
target_include_directories(scanid_world PUBLIC
  ${CMAKE_CURRENT_SOURCE_DIR}/include ${CMAKE_CURRENT_SOURCE_DIR}/lib ${CMAKE_CURRENT_SOURCE_DIR}/fuzz)
target_include_directories(scanid_world SYSTEM PUBLIC ${LIBUSB_INCLUDE_DIRS})
target_compile_definitions(scanid_world PUBLIC SCANID_PROGRAM_CLOCK SCANID_PROGRAM_PORT)
# No libusb: the world is the USB device, and the serial port as well.
target_link_libraries(scanid_world PUBLIC wlt)

function(scanid_fuzz_target name source)
  add_executable(fuzz_${name} ${source})
  target_link_libraries(fuzz_${name} PRIVATE scanid_world)
  if(SCANID_FUZZ)
    target_link_options(fuzz_${name} PRIVATE -fsanitize=fuzzer)
  else()
    target_sources(fuzz_${name} PRIVATE fuzz/StandaloneMain.cpp)
  endif()
endfunction()

scanid_fuzz_target(decode fuzz/fuzz_decode.cpp)
scanid_fuzz_target(frames fuzz/fuzz_frames.cpp)
scanid_fuzz_target(usb_cycle fuzz/fuzz_cycle.cpp)
target_compile_definitions(fuzz_usb_cycle PRIVATE FUZZ_LINK=Usb)
scanid_fuzz_target(serial_cycle fuzz/fuzz_cycle.cpp)
target_compile_definitions(fuzz_serial_cycle PRIVATE FUZZ_LINK=Serial)

add_executable(fuzz_make_seeds fuzz/make_seeds.cpp)
target_link_libraries(fuzz_make_seeds PRIVATE scanid_world scanid_sim)

if(SCANID_BUILD_TESTS AND NOT SCANID_FUZZ)
  # Every seed must still end as meant, on every build and architecture.
  # (The standby seeds need the world's standby address to themselves.)
  add_test(NAME fuzz_seeds_end_as_meant
    COMMAND fuzz_make_seeds ${CMAKE_CURRENT_BINARY_DIR}/fuzz-seeds)
  set_tests_properties(fuzz_seeds_end_as_meant PROPERTIES RESOURCE_LOCK fuzz_world_standby)
  # Inputs that once found a fault.
  foreach(target decode frames usb_cycle serial_cycle)
    file(GLOB found ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/regressions/${target}/*)
    if(found)
      add_test(NAME fuzz_regressions_${target} COMMAND fuzz_${target} ${found})
    endif()
  endforeach()
endif()
