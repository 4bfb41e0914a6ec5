# The release package: <build dir>/qarlov-<version>.zip (cpack in the build
# directory; scripts/package builds qarlov.exe and runs it), one folder
# qarlov-<version> with qarlov.exe, the two example registry files and the
# documentation. The text files get Windows line ends, as administrators open
# them on Windows; a UTF-16 file (a .reg file saved by regedit) stays as it is.
set(QARLOV_PACKAGE_TEXT_DIR ${CMAKE_BINARY_DIR}/package)

# Installs source (relative to the source tree) as destination/name with CR LF line ends.
function(qarlov_install_windows_text source destination)
  set(input ${CMAKE_SOURCE_DIR}/${source})
  set(output ${QARLOV_PACKAGE_TEXT_DIR}/${source})
  set_property(DIRECTORY ${CMAKE_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${input})
  file(READ ${input} bom LIMIT 2 HEX)
  if(bom STREQUAL "fffe" OR bom STREQUAL "feff")
    configure_file(${input} ${output} COPYONLY)
  else()
    file(READ ${input} text)
    string(REPLACE "\r\n" "\n" text "${text}")
    string(REPLACE "\n" "\r\n" text "${text}")
    file(WRITE ${output} "${text}")
  endif()
  install(FILES ${output} DESTINATION ${destination})
endfunction()

install(TARGETS qarlov RUNTIME DESTINATION .)
qarlov_install_windows_text(docs/qarlov-example.reg .)
qarlov_install_windows_text(docs/qarlov-reread-today.reg .)
qarlov_install_windows_text(README.md .)
qarlov_install_windows_text(docs/configuration.md docs)
qarlov_install_windows_text(docs/operations.md docs)

# cpack packs what is built (scripts/package builds qarlov.exe first), without
# building the tests and benchmarks, which the package doesn't contain.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_FILE_NAME qarlov-${PROJECT_VERSION})
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
include(CPack)
