# The Debian package of the programs, their manual pages and the sample image:
# `cmake --workflow --preset package` leaves build/package/tovrel_<version>_<arch>.deb. Its
# dependencies are not written here but computed from the programs by dpkg-shlibdeps (package
# dpkg-dev), so they follow whatever C and C++ runtime the build linked.
if(WIN32)
  return()
endif()

set(TOVREL_PACKAGE_MAINTAINER "Tovrel developers <tovrel-dev@example.org>"
    CACHE STRING "The Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tovrel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${TOVREL_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "firmware flasher for Velmor transporters/printers on serial ports")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${TOVREL_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# A production line flashes many devices at once through GNU parallel; ser2net serves a local
# port to other hosts.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "parallel, ser2net")
# The long description; CPack puts the summary above it and indents it as the control file wants.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "tovrel writes a new firmware image into the flash memory of a Velmor
transporter/printer on a serial port: a local port, a port on a network
serial server (RFC 2217), or the built-in emulated device. Its messages
are exact, its exit status is honest and every wait is bounded.

tovrel-emulator serves the emulated device over the network, with fault
knobs, and tovrel-ports lists the serial ports with their USB details and
stable names.")

include(CPack)
