# The test named python where the module could not be built: fails with
# the reason CMake found (REASON), and how to leave the module out on
# purpose instead.
message(FATAL_ERROR "The Python module was not built: ${REASON}. Install what it needs and "
                    "configure again, or configure with -DVOSTREL_BUILD_PYTHON=OFF to leave it out.")
