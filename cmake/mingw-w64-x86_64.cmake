# Cross-compiles for 64-bit Windows with Debian's MinGW-w64 toolchain (g++-mingw-w64-x86-64):
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MINGW_TRIPLET x86_64-w64-mingw32)
# The posix thread model: std::thread and std::mutex (the win32 one has neither).
set(CMAKE_C_COMPILER ${MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# HDF5 is the one scripts/windows-hdf5.sh cross-builds into the build tree (static libraries
# for MinGW), or none: never the build machine's Linux HDF5. HDF5_ROOT keeps FindHDF5 to that
# folder alone, its compiler wrapper (h5cc) included, which it would otherwise take from /usr/bin.
# HDF5_DIR names the library's own CMake package, whose targets bring what it links (zlib,
# ws2_32); FindHDF5 does not look in share/cmake by itself.
if(NOT MEASCONV_MINGW_HDF5)
  set(MEASCONV_MINGW_HDF5 ${CMAKE_BINARY_DIR}/hdf5-mingw/install)
endif()
set(HDF5_ROOT ${MEASCONV_MINGW_HDF5})
set(HDF5_DIR ${MEASCONV_MINGW_HDF5}/share/cmake)
list(APPEND CMAKE_FIND_ROOT_PATH ${MEASCONV_MINGW_HDF5})

# Header-only libraries come from the build machine's Debian packages: nlohmann-json (measinfo,
# meas) and CLI11 (meas), each as its include folder and its CMake package folder.
# Only their own folders are made visible, through links in the build folder, never
# /usr/include as a whole: glibc's headers there are not Windows' and would hide MinGW's.
set(MEASCONV_HOST_HEADERS ${CMAKE_BINARY_DIR}/host-headers/usr)
foreach(folders IN ITEMS "nlohmann;nlohmann_json" "CLI;CLI11")
  list(GET folders 0 include)
  list(GET folders 1 package)
  if(EXISTS /usr/include/${include} AND EXISTS /usr/share/cmake/${package})
    file(MAKE_DIRECTORY ${MEASCONV_HOST_HEADERS}/include ${MEASCONV_HOST_HEADERS}/share/cmake)
    if(NOT EXISTS ${MEASCONV_HOST_HEADERS}/include/${include})
      file(CREATE_LINK /usr/include/${include} ${MEASCONV_HOST_HEADERS}/include/${include} SYMBOLIC)
    endif()
    if(NOT EXISTS ${MEASCONV_HOST_HEADERS}/share/cmake/${package})
      file(CREATE_LINK /usr/share/cmake/${package} ${MEASCONV_HOST_HEADERS}/share/cmake/${package} SYMBOLIC)
    endif()
    list(APPEND CMAKE_FIND_ROOT_PATH ${CMAKE_BINARY_DIR}/host-headers)
  endif()
endforeach()
