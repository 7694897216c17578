# Cross build for Linux on aarch64 with Debian's cross compiler. Executables
# are linked statically and run under the build root's qemu-user, without an
# arm64 root's libraries; the extension module needs the target's Python and
# NumPy headers (tools/test-aarch64 passes them in).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)
