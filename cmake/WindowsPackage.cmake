# The download for Windows users: cpack makes kavrin-dbtool-<version>-win64.zip holding both
# programs (the window, when the build has its Qt, and the command line), README.txt (the
# README's section on Windows), LICENSE.txt and THIRD-PARTY.txt. The programs install themselves
# as the component "windows_zip" (app/, cli/); nothing else is installed on Windows.

# A text of the source as Windows users read it: with Windows line ends, for Notepad.
function(kavrin_windows_text source destination)
    file(READ ${source} text)
    string(REPLACE "\n" "\r\n" text "${text}")
    file(WRITE ${CMAKE_BINARY_DIR}/${destination} "${text}")
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
    install(FILES ${CMAKE_BINARY_DIR}/${destination} DESTINATION . COMPONENT windows_zip)
endfunction()

# The section from its heading to the next one of its level.
file(READ ${PROJECT_SOURCE_DIR}/README.md readme)
string(FIND "${readme}" "\n## Windows\n" start)
if(start EQUAL -1)
    message(FATAL_ERROR "README.md has no section \"Windows\" for the Windows download")
endif()
math(EXPR start "${start} + 1")
string(SUBSTRING "${readme}" ${start} -1 section)
string(FIND "${section}" "\n## " end)
string(SUBSTRING "${section}" 0 ${end} section)
file(WRITE ${CMAKE_BINARY_DIR}/README.md.windows
     "KavrinServer Database Tool ${KAVRIN_VERSION_TEXT}\n\n${section}\n")
kavrin_windows_text(${CMAKE_BINARY_DIR}/README.md.windows README.txt)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/README.md)
kavrin_windows_text(${PROJECT_SOURCE_DIR}/LICENSE LICENSE.txt)
kavrin_windows_text(${PROJECT_SOURCE_DIR}/THIRD-PARTY.md THIRD-PARTY.txt)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME kavrin-dbtool)
set(CPACK_PACKAGE_VERSION ${KAVRIN_VERSION_TEXT})
set(CPACK_PACKAGE_FILE_NAME kavrin-dbtool-${KAVRIN_VERSION_TEXT}-win64)
set(CPACK_COMPONENTS_ALL windows_zip)
set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
# Without the debugging information the programs are a fifth of their size.
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
include(CPack)
