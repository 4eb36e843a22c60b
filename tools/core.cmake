# The core (runtime, datatypes, evaluator, I/O, the GUI core side and the
# library written in Qel) in one place: the system libraries it needs and
# the sources it is built from. The main build and the fuzz targets' own
# project both include it. Set QEL_ROOT (the source root) first.
#
# Defines QEL_CORE_SOURCES (the C++ sources with the generated ones: the
# embedded library and the build record), QEL_CORE_LIBRARIES (what the core
# links) and QEL_CORE_DEFERRED_INCLUDES (the headers of libcurl, the image
# libraries (libpng, libjpeg, giflib, libtiff) and libcrypto, which
# platform/http.cpp, platform/image_codecs.cpp and
# runtime/codecs/checksum.cpp open on first use, to keep start-up short:
# never linked).

# QEL_UNITY compiles each target's sources a batch at a time, each batch one
# compilation that includes its files (fewer, larger compilations: far less
# CPU for a whole build, as the headers are read once a batch, but an edit
# recompiles its whole batch). Meant for builds from scratch (CI); off for
# everyday incremental builds. File-local names (anonymous namespaces,
# statics) must then be unique across the files of a target.
option(QEL_UNITY "Build each target as unity batches" OFF)
# (32 files a batch: the core's build under the sanitizers takes 15% less CPU
# than with 16, and no more time on 8 cores.)
set(QEL_UNITY_BATCH_SIZE 32 CACHE STRING "Source files in one unity batch (with QEL_UNITY)")
if(QEL_UNITY)
  set(CMAKE_UNITY_BUILD ON)
  set(CMAKE_UNITY_BUILD_BATCH_SIZE ${QEL_UNITY_BATCH_SIZE})
  # g++ takes every file a batch includes for a header, and warns of each
  # test fixture in an anonymous namespace as if it were in one.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    add_compile_options(-Wno-subobject-linkage)
  endif()
endif()

# Links with lld where the compiler can use it (tools/install-deps --test
# installs it): every test executable links the whole core, under the
# sanitizers too, and lld links them in a fraction of the default linker's
# time.
include(CheckLinkerFlag)
check_linker_flag(CXX -fuse-ld=lld QEL_HAVE_LLD)
# Executables bind their calls into shared libraries at load (-z now): lld
# places the table of lazily bound calls among the writable data, which the
# boot image saves and checks (console/boot/image.hpp); bound at load, the
# table lies with the data made read-only after relocation, as the default
# linker places it.
if(QEL_HAVE_LLD)
  add_link_options(-fuse-ld=lld "$<$<STREQUAL:$<TARGET_PROPERTY:TYPE>,EXECUTABLE>:-Wl,-z,now>")
endif()

find_package(Threads REQUIRED)
find_package(PkgConfig REQUIRED)
find_package(OpenSSL REQUIRED COMPONENTS Crypto)
find_package(PNG REQUIRED)
find_package(JPEG REQUIRED)
find_package(GIF REQUIRED)
find_package(TIFF REQUIRED)
find_package(CURL REQUIRED)
set(QEL_CORE_LIBRARIES Threads::Threads ${CMAKE_DL_LIBS})
set(QEL_CORE_DEFERRED_INCLUDES
  ${OPENSSL_INCLUDE_DIR}
  $<TARGET_PROPERTY:PNG::PNG,INTERFACE_INCLUDE_DIRECTORIES>
  $<TARGET_PROPERTY:JPEG::JPEG,INTERFACE_INCLUDE_DIRECTORIES>
  ${GIF_INCLUDE_DIRS}
  $<TARGET_PROPERTY:CURL::libcurl,INTERFACE_INCLUDE_DIRECTORIES>
  $<TARGET_PROPERTY:TIFF::TIFF,INTERFACE_INCLUDE_DIRECTORIES>)

file(GLOB QEL_CORE_SOURCES CONFIGURE_DEPENDS
  ${QEL_ROOT}/runtime/*.cpp ${QEL_ROOT}/datatypes/*.cpp ${QEL_ROOT}/eval/*.cpp ${QEL_ROOT}/console/boot/*.cpp ${QEL_ROOT}/io/*.cpp
  ${QEL_ROOT}/runtime/codecs/*.cpp ${QEL_ROOT}/platform/*.cpp ${QEL_ROOT}/view/*.cpp
  ${QEL_ROOT}/library/native/*.cpp ${QEL_ROOT}/console/terminal_routines.cpp)
file(GLOB QEL_CORE_HEADERS CONFIGURE_DEPENDS
  ${QEL_ROOT}/runtime/*.hpp ${QEL_ROOT}/runtime/*.inc ${QEL_ROOT}/datatypes/*.hpp ${QEL_ROOT}/eval/*.hpp ${QEL_ROOT}/console/boot/*.hpp
  ${QEL_ROOT}/io/*.hpp ${QEL_ROOT}/runtime/codecs/*.hpp ${QEL_ROOT}/platform/*.hpp ${QEL_ROOT}/view/*.hpp
  ${QEL_ROOT}/library/native/*.hpp ${QEL_ROOT}/console/terminal_routines.hpp)

# The library written in Qel, embedded in the executable, in the order
# start-up runs it.
include(${QEL_ROOT}/library/sources.cmake)
list(TRANSFORM QEL_LIBRARY_FILES PREPEND ${QEL_ROOT}/library/ OUTPUT_VARIABLE QEL_LIBRARY_SOURCES)
set(QEL_LIBRARY_CPP ${CMAKE_BINARY_DIR}/library_sources.cpp)
string(REPLACE ";" "|" QEL_LIBRARY_LIST "${QEL_LIBRARY_SOURCES}")
add_custom_command(
  OUTPUT ${QEL_LIBRARY_CPP}
  COMMAND ${CMAKE_COMMAND} "-DSOURCES=${QEL_LIBRARY_LIST}" -DOUTPUT=${QEL_LIBRARY_CPP}
          -P ${QEL_ROOT}/tools/embed.cmake
  DEPENDS ${QEL_LIBRARY_SOURCES} ${QEL_ROOT}/tools/embed.cmake
  COMMENT "Embedding the Qel library"
  VERBATIM)

# The build record of system/build (the date of the build, the source
# revision): written again only when a source of the core changed, or the
# checkout moved to another commit, so that building an unchanged tree does
# nothing.
set(QEL_BUILD_RECORD_CPP ${CMAKE_BINARY_DIR}/build_record.cpp)
set(QEL_BUILD_RECORD_DEPENDS ${QEL_CORE_SOURCES} ${QEL_CORE_HEADERS} ${QEL_LIBRARY_SOURCES}
  ${QEL_ROOT}/tools/build_record.cmake)
execute_process(COMMAND git rev-parse --path-format=absolute --git-path logs/HEAD
  WORKING_DIRECTORY ${QEL_ROOT} OUTPUT_VARIABLE QEL_GIT_HEAD_LOG
  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
if(QEL_GIT_HEAD_LOG AND EXISTS ${QEL_GIT_HEAD_LOG})
  list(APPEND QEL_BUILD_RECORD_DEPENDS ${QEL_GIT_HEAD_LOG})
endif()
add_custom_command(
  OUTPUT ${QEL_BUILD_RECORD_CPP}
  COMMAND ${CMAKE_COMMAND} -DROOT=${QEL_ROOT} -DOUTPUT=${QEL_BUILD_RECORD_CPP}
          -P ${QEL_ROOT}/tools/build_record.cmake
  DEPENDS ${QEL_BUILD_RECORD_DEPENDS}
  COMMENT "Writing the build record"
  VERBATIM)

# The build identity of the GUI backend module's check (view/backend/entry.hpp):
# new at each configure, written into the two files that open and export the
# module's table only (the other objects stay shared through the compiler
# cache), so that a module from another build is refused.
string(TIMESTAMP QEL_BUILD_TIME "%Y%m%dT%H%M%S" UTC)
string(RANDOM LENGTH 12 ALPHABET 0123456789abcdef QEL_BUILD_NONCE)
set(QEL_BUILD_IDENTITY "qel-build-${QEL_BUILD_TIME}-${QEL_BUILD_NONCE}")
set_source_files_properties(${QEL_ROOT}/view/module.cpp ${QEL_ROOT}/view/backend/module.cpp
  PROPERTIES COMPILE_DEFINITIONS "QEL_BUILD_IDENTITY=\"${QEL_BUILD_IDENTITY}\"")

list(FILTER QEL_CORE_SOURCES EXCLUDE REGEX ".*/main\\.cpp$")
list(APPEND QEL_CORE_SOURCES ${QEL_LIBRARY_CPP} ${QEL_BUILD_RECORD_CPP})
# The generated sources stay out of the unity batches: the embedded library
# is large, and the build record is written again at every commit.
set_source_files_properties(${QEL_LIBRARY_CPP} ${QEL_BUILD_RECORD_CPP} PROPERTIES
  SKIP_UNITY_BUILD_INCLUSION ON)
