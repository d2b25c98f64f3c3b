# Cross build for 64-bit Windows with Debian's MinGW-w64 (gcc-mingw-w64-x86-64,
# g++-mingw-w64-x86-64). The -posix variants carry the winpthreads threading model that
# std::thread, std::jthread and std::mutex need.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KESTREL_MINGW_TRIPLE x86_64-w64-mingw32)

find_program(CMAKE_C_COMPILER NAMES ${KESTREL_MINGW_TRIPLE}-gcc-posix ${KESTREL_MINGW_TRIPLE}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${KESTREL_MINGW_TRIPLE}-g++-posix ${KESTREL_MINGW_TRIPLE}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${KESTREL_MINGW_TRIPLE}-windres)

# The Windows Qt and libjpeg of scripts/build-qt-mingw.sh, when a build names their folder.
set(CMAKE_FIND_ROOT_PATH /usr/${KESTREL_MINGW_TRIPLE} ${KESTREL_QT_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Windows 7 API level (SetThreadDescription and friends are not used); localtime_r and the
# other POSIX thread-safe calls of the C runtime; the runtime libraries linked in, so the
# programs run from any folder without the MinGW DLLs beside them. Debug information is kept
# (-g) so that a test run that hangs can show where each thread stands, by function and line.
# With the Windows Qt, whose headers want it, the Windows 10 API level.
if(KESTREL_QT_MINGW)
  set(KESTREL_WINNT 0x0A00)
else()
  set(KESTREL_WINNT 0x0601)
endif()
set(CMAKE_C_FLAGS_INIT "-D_WIN32_WINNT=${KESTREL_WINNT} -D_POSIX_THREAD_SAFE_FUNCTIONS -g")
set(CMAKE_CXX_FLAGS_INIT "-D_WIN32_WINNT=${KESTREL_WINNT} -D_POSIX_THREAD_SAFE_FUNCTIONS -g")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
