# qv_add_dependency(<link item>
#                   [FIND_PACKAGE <find_package arguments>...]
#                   [PKG_CONFIG <prefix> <module>]
#                   [PC_MODULE <module>]
#                   [PC_LIBS <linker flags>...])
#
# Names one library that libQuorvia links, in every form the build and the
# installed package need:
#   <link item>   what the library links: an imported target (JPEG::JPEG,
#                 PkgConfig::<prefix>) or a plain library name (dl).
#   FIND_PACKAGE  found here with find_package(<arguments> REQUIRED); the
#                 installed QuorviaConfig.cmake repeats find_dependency(<arguments>).
#   PKG_CONFIG    found here with pkg_check_modules(<prefix> REQUIRED
#                 IMPORTED_TARGET <module>), whose target is PkgConfig::<prefix>;
#                 the package config repeats it and quorvia.pc requires <module>.
#   PC_MODULE     the pkg-config module quorvia.pc requires (FIND_PACKAGE case).
#   PC_LIBS       linker flags for quorvia.pc's Libs.private when the library has
#                 no pkg-config module of its own.
#
# The results accumulate in the caller's scope:
#   QV_LINK_DEPENDENCIES    link items, in order
#   QV_CONFIG_DEPENDENCIES  lines for QuorviaConfig.cmake
#   QV_PC_REQUIRES_PRIVATE  pkg-config modules, comma separated
#   QV_PC_LIBS_PRIVATE      linker flags, space separated
#
# The library is shared and links these privately, so a program that links it
# needs none of them: quorvia.pc lists them only for `pkg-config --static`, and
# the package config finds them again only when the library it describes is a
# static one (see cmake/QuorviaInstall.cmake).
set(QV_LINK_DEPENDENCIES "")
set(QV_CONFIG_DEPENDENCIES "")
set(QV_PC_REQUIRES_PRIVATE "")
set(QV_PC_LIBS_PRIVATE "")

function(qv_add_dependency item)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "PC_MODULE" "FIND_PACKAGE;PKG_CONFIG;PC_LIBS")
  set(config "${QV_CONFIG_DEPENDENCIES}")
  set(requires "${QV_PC_REQUIRES_PRIVATE}")
  set(libs "${QV_PC_LIBS_PRIVATE}")

  if(arg_FIND_PACKAGE)
    find_package(${arg_FIND_PACKAGE} REQUIRED)
    string(JOIN " " args ${arg_FIND_PACKAGE})
    string(APPEND config "find_dependency(${args})\n")
  endif()
  if(arg_PKG_CONFIG)
    list(LENGTH arg_PKG_CONFIG n)
    if(NOT n EQUAL 2)
      message(FATAL_ERROR "qv_add_dependency(${item}): PKG_CONFIG takes <prefix> <module>")
    endif()
    list(GET arg_PKG_CONFIG 0 prefix)
    list(GET arg_PKG_CONFIG 1 module)
    find_package(PkgConfig REQUIRED)
    pkg_check_modules(${prefix} REQUIRED IMPORTED_TARGET ${module})
    string(APPEND config "find_dependency(PkgConfig)\n"
      "pkg_check_modules(${prefix} REQUIRED IMPORTED_TARGET ${module})\n")
    set(arg_PC_MODULE ${module})
  endif()
  if(arg_PC_MODULE)
    if(requires)
      string(APPEND requires ", ")
    endif()
    string(APPEND requires "${arg_PC_MODULE}")
  endif()
  if(arg_PC_LIBS)
    string(JOIN " " flags ${arg_PC_LIBS})
    if(libs)
      string(APPEND libs " ")
    endif()
    string(APPEND libs "${flags}")
  endif()

  set(QV_LINK_DEPENDENCIES ${QV_LINK_DEPENDENCIES} ${item} PARENT_SCOPE)
  set(QV_CONFIG_DEPENDENCIES "${config}" PARENT_SCOPE)
  set(QV_PC_REQUIRES_PRIVATE "${requires}" PARENT_SCOPE)
  set(QV_PC_LIBS_PRIVATE "${libs}" PARENT_SCOPE)
endfunction()
