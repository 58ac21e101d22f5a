# Initial cache of the HDF5 C library that scripts/windows-hdf5.sh cross-builds for the Windows
# build (cmake -C): static C libraries only, with nothing the converter does not use.
set(BUILD_SHARED_LIBS OFF CACHE BOOL "")
set(BUILD_STATIC_LIBS ON CACHE BOOL "")
set(BUILD_TESTING OFF CACHE BOOL "")
foreach(part TOOLS UTILS EXAMPLES CPP_LIB FORTRAN JAVA)
  set(HDF5_BUILD_${part} OFF CACHE BOOL "")
endforeach()
# The high-level C library holds the dimension scales (H5DS) that label the datasets for
# netCDF readers; the deflate filter uses Debian's zlib for MinGW (libz-mingw-w64-dev), linked
# statically: the same zlib release as the Linux build's, so compressed chunks get the same bytes.
set(HDF5_BUILD_HL_LIB ON CACHE BOOL "")
set(HDF5_ENABLE_Z_LIB_SUPPORT ON CACHE BOOL "")
set(ZLIB_USE_STATIC_LIBS ON CACHE BOOL "")
set(HDF5_ENABLE_SZIP_SUPPORT OFF CACHE BOOL "")
set(HDF5_ENABLE_THREADSAFE OFF CACHE BOOL "")
set(HDF5_NO_PACKAGES ON CACHE BOOL "")
# The library's own warnings are not ours to act on; without them it compiles a little faster.
set(HDF5_ENABLE_ALL_WARNINGS OFF CACHE BOOL "")
set(HDF5_DISABLE_COMPILER_WARNINGS ON CACHE BOOL "")
# The API the Linux build compiles against: Debian configures its HDF5 with
# --with-default-api-version=v18, so unnumbered names (H5Oget_info, ...) mean the same on both.
set(DEFAULT_API_VERSION v18 CACHE STRING "")

# Results of the configure checks that run a program, known for the target (64-bit Windows,
# MinGW-w64's msvcrt): each would otherwise cost a start of Wine. They are what the checks
# printed when run under Wine (scripts/windows-hdf5.sh --run-checks runs them all again, to
# compare src/H5pubconf.h). Empty means no. Not seeded: TEST_LFS_WORKS_RUN (the library sets
# its large-file flags only where it runs that check) and the decimal precision check (its
# result is read from a file the program writes).
if(NOT MEASCONV_HDF5_RUN_CHECKS)
  set(H5_PRINTF_LL_WIDTH [["I64"]] CACHE INTERNAL "")  # msvcrt's printf length of long long
  set(H5_HAVE_IOEO 1 CACHE INTERNAL "")                 # InitOnceExecuteOnce (Windows Vista on)
  set(H5_LDOUBLE_TO_LONG_SPECIAL "" CACHE INTERNAL "")
  set(H5_LONG_TO_LDOUBLE_SPECIAL "" CACHE INTERNAL "")
  set(H5_LDOUBLE_TO_LLONG_ACCURATE 1 CACHE INTERNAL "")
  set(H5_LLONG_TO_LDOUBLE_CORRECT 1 CACHE INTERNAL "")
  set(H5_DISABLE_SOME_LDOUBLE_CONV "" CACHE INTERNAL "")
  set(H5_NO_ALIGNMENT_RESTRICTIONS "" CACHE INTERNAL "")
endif()
