# Cross build for macOS on Apple silicon from Linux: clang, ld64.lld and an
# unpacked macOS SDK named by MACOS_SDK (environment or cache). On a Mac with
# Xcode none of this is needed: a plain configure builds natively.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_PROCESSOR arm64)
set(CMAKE_OSX_ARCHITECTURES arm64)
set(CMAKE_OSX_DEPLOYMENT_TARGET 26.0 CACHE STRING "Oldest macOS the programs run on")

if(NOT MACOS_SDK)
    set(MACOS_SDK "$ENV{MACOS_SDK}")
endif()
if(NOT EXISTS "${MACOS_SDK}/usr/lib/libSystem.B.tbd")
    message(FATAL_ERROR
        "MACOS_SDK must name an unpacked macOS SDK (with usr/lib/libSystem.B.tbd); got '${MACOS_SDK}'")
endif()
set(MACOS_SDK "${MACOS_SDK}" CACHE PATH "The macOS SDK the cross build compiles and links against")
# The compiler checks run in projects of their own; they need the SDK too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES MACOS_SDK)
set(CMAKE_OSX_SYSROOT "${MACOS_SDK}")

find_program(VANTREL_CLANG NAMES clang-14 clang REQUIRED)
find_program(VANTREL_CLANGXX NAMES clang++-14 clang++ REQUIRED)
set(CMAKE_C_COMPILER "${VANTREL_CLANG}")
set(CMAKE_CXX_COMPILER "${VANTREL_CLANGXX}")
set(CMAKE_OBJCXX_COMPILER "${VANTREL_CLANGXX}")
foreach(language C CXX OBJCXX)
    set(CMAKE_${language}_COMPILER_TARGET arm64-apple-macos${CMAKE_OSX_DEPLOYMENT_TARGET})
endforeach()
find_program(CMAKE_AR NAMES llvm-ar-14 llvm-ar REQUIRED)
find_program(CMAKE_RANLIB NAMES llvm-ranlib-14 llvm-ranlib REQUIRED)
find_program(CMAKE_INSTALL_NAME_TOOL NAMES llvm-install-name-tool-14 llvm-install-name-tool REQUIRED)

# The SDK's own libc++ headers: they match its libc++ link stub, and a libc++
# installed on the build machine must not be picked up instead.
set(CMAKE_CXX_FLAGS_INIT "-stdlib=libc++ -stdlib++-isystem ${MACOS_SDK}/usr/include/c++/v1")
set(CMAKE_OBJCXX_FLAGS_INIT "${CMAKE_CXX_FLAGS_INIT}")
foreach(kind EXE SHARED MODULE)
    set(CMAKE_${kind}_LINKER_FLAGS_INIT "-fuse-ld=lld")
endforeach()

set(CMAKE_FIND_ROOT_PATH "${MACOS_SDK}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
