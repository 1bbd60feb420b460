# Cross-builds for macOS with Zig's clang, which carries macOS's headers
# and libc++. HALVO_ZIG_BIN names a folder holding c++, ar and ranlib
# wrappers that call Zig for ZIG_TARGET (tests/macos_build.sh makes them).
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_CXX_COMPILER "${HALVO_ZIG_BIN}/c++")
set(CMAKE_AR "${HALVO_ZIG_BIN}/ar" CACHE FILEPATH "")
set(CMAKE_RANLIB "${HALVO_ZIG_BIN}/ranlib" CACHE FILEPATH "")
set(CMAKE_CXX_COMPILER_TARGET "${ZIG_TARGET}")
