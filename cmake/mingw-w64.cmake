# Cross-compiling for 64-bit Windows with MinGW-w64 from Linux, so the engine's Windows code
# paths are built and its tests run (under Wine) without a Windows machine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# A self-contained executable: the C++ runtime linked in, so Wine needs no DLL path.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
