# Manual pages: docs/man/NAME.SECTION.md through go-md2man into
# ${CMAKE_BINARY_DIR}/man/NAME.SECTION, installed with the program each
# describes. Left out, with a note, where go-md2man is missing: the pages are
# documentation, not something a build may fail on.
find_program(GO_MD2MAN go-md2man)
if(NOT GO_MD2MAN)
  message(STATUS "go-md2man not found: no manual pages (apt install go-md2man)")
  return()
endif()

# page:component; scanidd's page only where scanidd is built.
set(SCANID_MAN_PAGES scanid.1:tools iddemo.1:demo)
if(TARGET scanidd)
  list(APPEND SCANID_MAN_PAGES scanidd.8:service)
endif()

set(SCANID_MAN_DIR ${CMAKE_BINARY_DIR}/man)
set(SCANID_MAN_OUTPUTS "")
foreach(entry IN LISTS SCANID_MAN_PAGES)
  string(REPLACE ":" ";" entry "${entry}")
  list(GET entry 0 page)
  list(GET entry 1 component)
  string(REGEX REPLACE "^.*\\.([0-9])$" "\\1" section "${page}")
  # The version from project(); no date and no path goes into a page, so
  # that the packages build the same twice.
  configure_file(${PROJECT_SOURCE_DIR}/docs/man/${page}.md ${SCANID_MAN_DIR}/${page}.md @ONLY)
  add_custom_command(OUTPUT ${SCANID_MAN_DIR}/${page}
    COMMAND ${GO_MD2MAN} -in ${page}.md -out ${page}
    WORKING_DIRECTORY ${SCANID_MAN_DIR}
    DEPENDS ${SCANID_MAN_DIR}/${page}.md
    COMMENT "Manual page ${page}")
  list(APPEND SCANID_MAN_OUTPUTS ${SCANID_MAN_DIR}/${page})
  install(FILES ${SCANID_MAN_DIR}/${page}
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section} COMPONENT ${component})
endforeach()
add_custom_target(man ALL DEPENDS ${SCANID_MAN_OUTPUTS})
