# Shared part of the MinGW-w64 toolchain files. The including file sets
# SMFORMAT_MINGW_TRIPLE (i686-w64-mingw32 or x86_64-w64-mingw32) and
# CMAKE_SYSTEM_PROCESSOR first.
#
# Debian ships each MinGW-w64 compiler in two thread models. We use the
# -win32 one for both architectures: the -posix one links winpthreads, which
# imports functions that Windows 98 SE, ME and 2000 lack (GetTickCount64,
# AddVectoredExceptionHandler) even into a program that starts no thread, so
# the 32-bit programs could not even be loaded there. Its libstdc++ (GCC 12)
# has no std::thread, std::mutex or std::condition_variable: code built for
# Windows uses the system's threads and locks instead. Thread-safe statics,
# std::atomic and the clocks are there. The names are always the suffixed
# ones: installing the -win32 package moves the unsuffixed alternative.
# Executables are linked statically (top-level CMakeLists.txt), so they need
# nothing beyond the system DLLs.

set(CMAKE_SYSTEM_NAME Windows)

set(_triple ${SMFORMAT_MINGW_TRIPLE})
foreach(_tool gcc g++)
  find_program(_smformat_${_tool} ${_triple}-${_tool}-win32 NO_CACHE)
  if(NOT _smformat_${_tool})
    message(FATAL_ERROR "${_triple}-${_tool}-win32 not found: run scripts/install-deps --windows")
  endif()
endforeach()
set(CMAKE_C_COMPILER ${_smformat_gcc})
set(CMAKE_CXX_COMPILER ${_smformat_g++})
set(CMAKE_RC_COMPILER ${_triple}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# CTest (and add_custom_command with a target as its command) runs the Windows
# programs through Wine. The prefix lives outside the build tree, in the
# user's cache, so that a fresh clone or a clean build reuses it instead of
# spending a minute and 1.3 GB on a new one; it is created on first use (see
# scripts/wine-run). One prefix serves both architectures.
if(DEFINED ENV{SMFORMAT_WINEPREFIX})
  set(_smformat_default_prefix "$ENV{SMFORMAT_WINEPREFIX}")
elseif(DEFINED ENV{XDG_CACHE_HOME})
  set(_smformat_default_prefix "$ENV{XDG_CACHE_HOME}/smformat/wineprefix")
else()
  set(_smformat_default_prefix "$ENV{HOME}/.cache/smformat/wineprefix")
endif()
set(SMFORMAT_WINEPREFIX "${_smformat_default_prefix}" CACHE PATH "Wine prefix the Windows test programs run in")
set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run;--prefix;${SMFORMAT_WINEPREFIX}")
