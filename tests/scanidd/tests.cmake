# scanidd's API from outside, in node (node:test, with ws from
# tests/scanidd/node_modules: `npm ci` there once). Native builds only: the
# test starts the programs itself. Without node the test is not registered;
# without node_modules it is skipped with the reason.
find_program(NODE_EXECUTABLE node)
if(NODE_EXECUTABLE AND TARGET scanidd)
  set(SCANIDD_TEST_DIR ${CMAKE_CURRENT_SOURCE_DIR}/scanidd)
  add_test(NAME scanidd_api
    COMMAND sh -c "test -d \"$0/node_modules/ws\" || { echo \"skipped: no $0/node_modules (run npm ci there)\"; exit 77; }; exec \"$1\" --test --test-reporter=spec \"$0/api.test.mjs\""
      ${SCANIDD_TEST_DIR} ${NODE_EXECUTABLE})
  set_tests_properties(scanidd_api PROPERTIES
    ENVIRONMENT "SCANIDD=$<TARGET_FILE:scanidd>;SIM_SERVER=$<TARGET_FILE:sim-server>;SIM_READER=$<TARGET_FILE:sim-reader>"
    SKIP_RETURN_CODE 77
    TIMEOUT 300)
  # The sample page in Debian's chromium (apt: chromium), driven by playwright-core.
  add_test(NAME scanidd_browser
    COMMAND sh -c "test -d \"$0/node_modules/playwright-core\" || { echo \"skipped: no $0/node_modules (run npm ci there)\"; exit 77; }; test -x /usr/bin/chromium || { echo \"skipped: no /usr/bin/chromium\"; exit 77; }; exec \"$1\" --test --test-reporter=spec \"$0/browser.test.mjs\""
      ${SCANIDD_TEST_DIR} ${NODE_EXECUTABLE})
  set_tests_properties(scanidd_browser PROPERTIES
    ENVIRONMENT "SCANIDD=$<TARGET_FILE:scanidd>;SIM_SERVER=$<TARGET_FILE:sim-server>;SIM_READER=$<TARGET_FILE:sim-reader>;SCANIDD_SCREENSHOT=${CMAKE_BINARY_DIR}/scanidd-page.png"
    SKIP_RETURN_CODE 77
    TIMEOUT 300)
elseif(NOT NODE_EXECUTABLE)
  message(STATUS "node not found: scanidd's API test is left out")
endif()
