# Documentation beside the programs, a version resource in the Windows programs, and the
# packages `cpack` makes from the install tree:
#   Linux:   measconv_VERSION_amd64.deb (programs, manual pages, README and doc/ pages)
#   Windows: measconv-VERSION-win64.zip (the .exe files, the README and doc/ pages; no DLL)

# The README links the pages of doc/; they go beside it, in doc/.
file(GLOB MEASCONV_DOC_PAGES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/doc/*.md ${PROJECT_SOURCE_DIR}/doc/*.svg)
if(WIN32)
  install(FILES README.md DESTINATION .)
  install(FILES ${MEASCONV_DOC_PAGES} DESTINATION doc)

  # The version of project() in each program's file properties.
  enable_language(RC)
  set(MEASCONV_RC_VERSION ${PROJECT_VERSION_MAJOR},${PROJECT_VERSION_MINOR},0,0)
  foreach(program ${MEASCONV_PROGRAMS})
    configure_file(cmake/version.rc.in generated/${program}.rc @ONLY)
    target_sources(${program} PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/generated/${program}.rc)
  endforeach()
else()
  install(FILES README.md DESTINATION share/doc/measconv)
  install(FILES ${MEASCONV_DOC_PAGES} DESTINATION share/doc/measconv/doc)
endif()

set(CPACK_PACKAGE_NAME measconv)
set(CPACK_PACKAGE_VENDOR "measconv developers")
set(CPACK_PACKAGE_CONTACT "measconv developers <measconv@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "convert binary measurement data files into text and CSV files")
set(CPACK_PACKAGE_DESCRIPTION
    "measconv converts the data files of acquisition units (a fixed header, then fixed-size
records of a time offset, a counter, and per sensor a wavelength and a physical value) into
plain-text and CSV files: combined files with every sensor a column, and one text and one CSV
file per sensor. measgen writes data files of a chosen shape, valid or deliberately broken.")
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
  set(CPACK_PACKAGE_FILE_NAME ${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-${CPACK_SYSTEM_NAME})
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # measconv_VERSION_ARCH.deb
  set(CPACK_DEBIAN_PACKAGE_SECTION science)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # The libraries the programs link (the C and C++ runtimes, and any added later) become the
  # package's dependencies through dpkg-shlibdeps.
  find_program(MEASCONV_DPKG_SHLIBDEPS dpkg-shlibdeps)
  if(MEASCONV_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  else()
    message(STATUS "dpkg-shlibdeps not found: the Debian package will declare no dependencies")
  endif()
endif()

include(CPack)
