# Toolchain file: a cross build for 64-bit Arm Linux on a Debian amd64 machine.
#
#   cmake -S . -B <dir> -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake \
#         -DDISPSMOOTH_ARM64_SYSROOT=<folder>
#
# Compilers: Debian's aarch64-linux-gnu-gcc/g++ (package g++-aarch64-linux-gnu),
# with their own C and C++ runtimes.  The other target libraries (libtiff,
# libpng, libjpeg, zlib, GoogleTest) are looked up only in
# DISPSMOOTH_ARM64_SYSROOT, a folder into which Debian's arm64 packages have
# been unpacked with dpkg -x (tools/test_aarch64.sh makes one), never on the
# host.  Executables run under qemu-user with that folder as their root
# (qemu-aarch64 -L), so that ctest and gtest_discover_tests can run the tests.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# The folder is also needed by the test projects of try_compile, which read
# this file again.
if(NOT DISPSMOOTH_ARM64_SYSROOT AND DEFINED ENV{DISPSMOOTH_ARM64_SYSROOT})
  set(DISPSMOOTH_ARM64_SYSROOT "$ENV{DISPSMOOTH_ARM64_SYSROOT}")
endif()
if(NOT IS_DIRECTORY "${DISPSMOOTH_ARM64_SYSROOT}")
  message(FATAL_ERROR "Set DISPSMOOTH_ARM64_SYSROOT to a folder holding Debian's arm64 "
                      "packages unpacked (tools/test_aarch64.sh makes one); got "
                      "\"${DISPSMOOTH_ARM64_SYSROOT}\"")
endif()
set(DISPSMOOTH_ARM64_SYSROOT "${DISPSMOOTH_ARM64_SYSROOT}" CACHE PATH
    "Debian arm64 packages unpacked: the target's libraries and the emulator's root")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES DISPSMOOTH_ARM64_SYSROOT)

# Headers, libraries and packages from the folder alone; programs (the
# emulator, groff, ...) from the host.
set(CMAKE_FIND_ROOT_PATH "${DISPSMOOTH_ARM64_SYSROOT}")
# Debian keeps some of the libraries' headers (libjpeg's jconfig.h, libtiff's
# headers) in the multiarch folder, which the cross compiler does not search
# in the sysroot by itself.
set(CMAKE_C_STANDARD_INCLUDE_DIRECTORIES
    "${DISPSMOOTH_ARM64_SYSROOT}/usr/include/${CMAKE_LIBRARY_ARCHITECTURE}")
set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES
    "${DISPSMOOTH_ARM64_SYSROOT}/usr/include/${CMAKE_LIBRARY_ARCHITECTURE}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The shared libraries found there need others of the folder (libtiff needs
# libzstd, liblzma, libwebp, ...): the linker looks for them there too.
set(DISPSMOOTH_ARM64_LIBDIRS
    "${DISPSMOOTH_ARM64_SYSROOT}/usr/lib/aarch64-linux-gnu:${DISPSMOOTH_ARM64_SYSROOT}/lib/aarch64-linux-gnu")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,-rpath-link,${DISPSMOOTH_ARM64_LIBDIRS}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-Wl,-rpath-link,${DISPSMOOTH_ARM64_LIBDIRS}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-Wl,-rpath-link,${DISPSMOOTH_ARM64_LIBDIRS}")

# Under the emulator the folder is the root, so the target's libraries lie in
# its standard places: executables need no run path into the build machine's
# file system (CMake would also warn that the folder's libgomp hides the
# cross compiler's, which the compiler links).
set(CMAKE_SKIP_BUILD_RPATH ON)

# Target executables run under user-mode emulation, their dynamic loader and
# libraries taken from the folder.
find_program(DISPSMOOTH_QEMU_AARCH64 NAMES qemu-aarch64 qemu-aarch64-static
             NO_CMAKE_FIND_ROOT_PATH)
if(DISPSMOOTH_QEMU_AARCH64)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${DISPSMOOTH_QEMU_AARCH64};-L;${DISPSMOOTH_ARM64_SYSROOT}")
endif()
