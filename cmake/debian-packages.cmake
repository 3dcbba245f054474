# Debian packages of the native build, made by `cpack -G DEB` (.ci/package):
#   vostrel          the tool, with a manual page made from its --help
#   libvostrel-dev   headers, static library, CMake package, pkg-config file
#   python3-vostrel  the Python module, in Debian's Python's dist-packages
# Versions come from the project's version; file dependencies on shared
# libraries are found by dpkg-shlibdeps.

# The manual page, from the tool's own --help (help2man), when help2man is
# there (.ci/deps installs it); not from an instrumented tool, whose exit
# report would fail it.
find_program(VOSTREL_HELP2MAN help2man)
if(TARGET vostrel_tool AND VOSTREL_HELP2MAN AND NOT VOSTREL_SANITIZE)
  set(_man ${PROJECT_BINARY_DIR}/man/vostrel.1)
  add_custom_command(
    OUTPUT ${_man}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
    COMMAND ${VOSTREL_HELP2MAN} --no-info --no-discard-stderr --version-string=${PROJECT_VERSION}
            "--name=mailbox messages with a LEGO Mindstorms NXT brick" --output=${_man}
            $<TARGET_FILE:vostrel_tool>
    COMMAND gzip -9nf ${_man}
    DEPENDS vostrel_tool COMMENT "Writing the vostrel manual page from --help" VERBATIM)
  add_custom_target(vostrel_man ALL DEPENDS ${_man}.gz)
  install(FILES ${_man}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tool)
elseif(TARGET vostrel_tool)
  message(STATUS "vostrel manual page: not made (needs help2man: .ci/deps installs it)")
endif()

# Debian's Python finds packages in /usr/lib/python3/dist-packages (the
# `python` component puts them in a site-packages for `--prefix ~/.local`).
set(_packages tool dev)
if(TARGET vostrel_python)
  install(TARGETS vostrel_python LIBRARY DESTINATION lib/python3/dist-packages/vostrel
          COMPONENT python3 EXCLUDE_FROM_ALL)
  file(GLOB _python_files ${PROJECT_SOURCE_DIR}/python/vostrel/*.py ${PROJECT_SOURCE_DIR}/python/vostrel/*.pyi
       ${PROJECT_SOURCE_DIR}/python/vostrel/py.typed)
  install(FILES ${_python_files} DESTINATION lib/python3/dist-packages/vostrel COMPONENT python3 EXCLUDE_FROM_ALL)
  list(APPEND _packages python3)
endif()

# Every package's copyright and changelog, as Debian policy asks.
set(_doc ${PROJECT_BINARY_DIR}/debian-doc)
string(TIMESTAMP _date "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(VOSTREL_DEB_MAINTAINER "Vostrel maintainers <maintainers@vostrel.invalid>" CACHE STRING
    "Maintainer of the Debian packages")
file(WRITE ${_doc}/changelog
  "vostrel (${PROJECT_VERSION}) unstable; urgency=medium\n\n"
  "  * Release ${PROJECT_VERSION}; see the project's history for its changes.\n\n"
  " -- ${VOSTREL_DEB_MAINTAINER}  ${_date}\n")
execute_process(COMMAND gzip -9nc ${_doc}/changelog OUTPUT_FILE ${_doc}/changelog.gz)
set(_pkg_tool vostrel)
set(_pkg_dev libvostrel-dev)
set(_pkg_python3 python3-vostrel)
foreach(component ${_packages})
  set(_excluded)
  if(component STREQUAL python3)
    set(_excluded EXCLUDE_FROM_ALL)
  endif()
  install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian-copyright DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${_pkg_${component}}
          RENAME copyright COMPONENT ${component} ${_excluded})
  install(FILES ${_doc}/changelog.gz DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${_pkg_${component}}
          COMPONENT ${component} ${_excluded})
endforeach()

set(CPACK_PACKAGE_NAME vostrel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${VOSTREL_DEB_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_COMPONENTS_ALL ${_packages})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_TOOL_PACKAGE_NAME vostrel)
set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION electronics)
set(CPACK_COMPONENT_TOOL_DESCRIPTION "Mailbox messages with a LEGO Mindstorms NXT brick (command-line tool)
 vostrel exchanges mailbox messages with a LEGO Mindstorms NXT brick over a
 serial link (the Bluetooth serial profile, /dev/rfcommN): send texts and
 numbers, listen for the brick's messages, list the serial devices, and run
 a simulated brick on a pseudo-terminal for testing.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libvostrel-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libstdc++-12-dev | libstdc++-dev")
set(CPACK_DEBIAN_DEV_PACKAGE_SUGGESTS "libasio-dev, pkg-config, cmake")
set(CPACK_COMPONENT_DEV_DESCRIPTION "Mailbox messages with a LEGO Mindstorms NXT brick (C++ library)
 The Vostrel control for C++ hosts: connect to a LEGO Mindstorms NXT brick
 over a serial link and exchange mailbox messages with it. This package
 holds the headers, the static library, the CMake package (find_package)
 and the pkg-config file.")

set(CPACK_DEBIAN_PYTHON3_PACKAGE_NAME python3-vostrel)
set(CPACK_DEBIAN_PYTHON3_PACKAGE_SECTION python)
if(TARGET vostrel_python)
  # The extension is built for this one Python version.
  execute_process(COMMAND ${VOSTREL_PYTHON} -c "import sys; print(sys.version_info[1])"
                  OUTPUT_VARIABLE _minor OUTPUT_STRIP_TRAILING_WHITESPACE)
  math(EXPR _next_minor "${_minor} + 1")
  set(CPACK_DEBIAN_PYTHON3_PACKAGE_DEPENDS "python3 (>= 3.${_minor}), python3 (<< 3.${_next_minor})")
  # Byte-compiled at install, cleaned at removal (py3compile, py3clean).
  configure_file(${PROJECT_SOURCE_DIR}/cmake/debian-python3.postinst ${_doc}/python3/postinst COPYONLY)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/debian-python3.prerm ${_doc}/python3/prerm COPYONLY)
  set(CPACK_DEBIAN_PYTHON3_PACKAGE_CONTROL_EXTRA "${_doc}/python3/postinst;${_doc}/python3/prerm")
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()
set(CPACK_COMPONENT_PYTHON3_DESCRIPTION "Mailbox messages with a LEGO Mindstorms NXT brick (Python 3 module)
 The Vostrel control for Python: `import vostrel` to connect to a LEGO
 Mindstorms NXT brick over a serial link and exchange mailbox messages with
 it, with asyncio support and a simulated brick for tests.")

include(CPack)
