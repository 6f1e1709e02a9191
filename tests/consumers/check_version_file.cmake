# cmake -DVERSION_FILE=<QuorviaConfigVersion.cmake> -DVERSION=<installed version> -P check_version_file.cmake
#
# Asks the installed version file what find_package(Quorvia <request>) asks it
# and fails unless it accepts requests of the installed major version up to the
# installed version and refuses every other major version and newer requests.
cmake_minimum_required(VERSION 3.21)

function(accepts request out)
  string(REPLACE "." ";" parts "${request}")
  list(LENGTH parts PACKAGE_FIND_VERSION_COUNT)
  list(GET parts 0 PACKAGE_FIND_VERSION_MAJOR)
  list(GET parts 1 PACKAGE_FIND_VERSION_MINOR)
  set(PACKAGE_FIND_VERSION_PATCH 0)
  set(PACKAGE_FIND_VERSION "${request}")
  set(PACKAGE_VERSION_COMPATIBLE FALSE)
  include("${VERSION_FILE}")
  if(NOT PACKAGE_VERSION STREQUAL VERSION)
    message(FATAL_ERROR "${VERSION_FILE} states version ${PACKAGE_VERSION}, expected ${VERSION}")
  endif()
  set(${out} ${PACKAGE_VERSION_COMPATIBLE} PARENT_SCOPE)
endfunction()

function(expect request wanted)
  accepts(${request} got)
  if((got AND NOT wanted) OR (wanted AND NOT got))
    message(FATAL_ERROR "find_package(Quorvia ${request}) against ${VERSION}: compatible is ${got}, expected ${wanted}")
  endif()
endfunction()

string(REPLACE "." ";" parts "${VERSION}")
list(GET parts 0 major)
list(GET parts 1 minor)
math(EXPR next_major "${major} + 1")
math(EXPR next_minor "${minor} + 1")

expect(${major}.0 TRUE)
expect(${major}.${minor} TRUE)
expect(${major}.${next_minor} FALSE)
expect(${next_major}.0 FALSE)
if(major GREATER 0)
  math(EXPR previous_major "${major} - 1")
  expect(${previous_major}.0 FALSE)
endif()
message(STATUS "QuorviaConfigVersion.cmake ${VERSION}: same major version, not newer, is compatible")
