# The download for Windows users: cpack makes kavrin-dbtool-cli-<version>-win64.zip holding the
# command line program and README.txt, the README's section on the command line. Only what is
# installed as the component "windows_zip" goes in.

# The section from its heading to the next one, with Windows line ends for Notepad.
file(READ ${PROJECT_SOURCE_DIR}/README.md readme)
string(FIND "${readme}" "\n## The command line\n" start)
if(start EQUAL -1)
    message(FATAL_ERROR "README.md has no section \"The command line\" for the Windows download")
endif()
math(EXPR start "${start} + 1")
string(SUBSTRING "${readme}" ${start} -1 section)
string(FIND "${section}" "\n## " end)
string(SUBSTRING "${section}" 0 ${end} section)
string(REPLACE "\n" "\r\n" section "KavrinServer Database Tool ${KAVRIN_VERSION_TEXT}\n\n${section}\n")
file(WRITE ${CMAKE_BINARY_DIR}/README.txt "${section}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/README.md)

install(TARGETS kavrin-dbtool-cli RUNTIME DESTINATION . COMPONENT windows_zip)
install(FILES ${CMAKE_BINARY_DIR}/README.txt DESTINATION . COMPONENT windows_zip)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME kavrin-dbtool-cli)
set(CPACK_PACKAGE_VERSION ${KAVRIN_VERSION_TEXT})
set(CPACK_PACKAGE_FILE_NAME kavrin-dbtool-cli-${KAVRIN_VERSION_TEXT}-win64)
set(CPACK_COMPONENTS_ALL windows_zip)
set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
# Without the debugging information the program is a fifth of its size.
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
include(CPack)
