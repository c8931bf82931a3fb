# Cross build for 64-bit ARM on a Debian multiarch machine:
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
# The compilers come from g++-aarch64-linux-gnu; headers and libraries are
# the :arm64 development packages installed beside the native ones, so
# nothing needs a separate root: programs (moc, help2man) are the build
# machine's, libraries and package configurations the target's.
# scripts/test-arm64.sh installs all of it, builds and runs the tests.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)

# The tests, the manual page and the package step run the target binary:
# through the user-mode emulator when one is installed and none was given.
find_program(SKYIMG_QEMU_AARCH64 NAMES qemu-aarch64-static qemu-aarch64)
if(SKYIMG_QEMU_AARCH64 AND NOT CMAKE_CROSSCOMPILING_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${SKYIMG_QEMU_AARCH64})
endif()

# GCC notes for every std::pair of doubles passed by value that GCC 10
# changed how aarch64 passes it; nothing here links code built before that.
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)
