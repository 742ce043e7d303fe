# Installing into a temporary prefix: the layout a desktop needs, checked with its validators.
add_test(NAME tst_install
    COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/tst_install.sh ${CMAKE_COMMAND} ${PROJECT_BINARY_DIR}
            ${PROJECT_VERSION})
set_tests_properties(tst_install PROPERTIES
    ENVIRONMENT "${KAVREL_TEST_ENVIRONMENT}"
    TIMEOUT 120)
