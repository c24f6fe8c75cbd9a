# Authenticode signing (SHA-256) of what the build ships, when a certificate is
# configured; without one the build is unsigned. scripts/sign.sh does the signing and
# reads the configuration below from its environment.
#
#   VX_SIGN_PKCS12 + VX_SIGN_PASSWORD_FILE          a PKCS#12 file and its password
#   VX_SIGN_PKCS11_MODULE + VX_SIGN_PKCS11_KEY      a hardware token: the module and the
#     + VX_SIGN_PKCS11_CERT (+ VX_SIGN_PASSWORD_FILE) key's pkcs11: URI, the certificate
#                                                   (PEM, with its chain), the PIN
#   VX_SIGN_TIMESTAMP                               an RFC 3161 time-stamp server's URL
#
# The password is only ever read from its file: a command line is visible to every
# user of the machine.
#
# For others:
#   vx_sign_target(<target>)      signs the target's file after every link (the global
#                                 property VX_SIGNED_TARGETS lists them for the tests)
#   vx_sign_before(<consumer>)    <consumer> (a setup, a package) waits for the signing
#   VX_SIGN_COMMAND               one program: `${VX_SIGN_COMMAND} <file>...` signs files
#                                 in place; empty when the build is unsigned
#   VX_SIGN_STAMP                 a file that changes whenever the configuration does:
#                                 let a custom command that signs its output depend on it
#   vx_sign_nsis(<args> <deps>)   what a makensis command needs to sign the setup, its
#                                 uninstaller and the NSIS plug-ins it carries
set(VX_SIGN_PKCS12 "" CACHE FILEPATH "PKCS#12 file with the code-signing key and certificate")
set(VX_SIGN_PASSWORD_FILE "" CACHE FILEPATH "File holding the PKCS#12 password or the token's PIN")
set(VX_SIGN_PKCS11_MODULE "" CACHE FILEPATH "PKCS#11 module of the token holding the key")
set(VX_SIGN_PKCS11_KEY "" CACHE STRING "pkcs11: URI of the code-signing key on the token")
set(VX_SIGN_PKCS11_CERT "" CACHE FILEPATH
    "Code-signing certificate (PEM, with its chain) of the token's key")
set(VX_SIGN_TIMESTAMP "" CACHE STRING "RFC 3161 time-stamp server URL (empty: no time stamp)")

find_program(VX_OSSLSIGNCODE osslsigncode)
set(vx_sign_vars VX_OSSLSIGNCODE VX_SIGN_PKCS12 VX_SIGN_PASSWORD_FILE VX_SIGN_PKCS11_MODULE
    VX_SIGN_PKCS11_KEY VX_SIGN_PKCS11_CERT VX_SIGN_TIMESTAMP)
if(VX_SIGN_PKCS12 AND VX_SIGN_PKCS11_MODULE)
  message(FATAL_ERROR "VX_SIGN_PKCS12 and VX_SIGN_PKCS11_MODULE both set: configure one key")
endif()
if(VX_SIGN_PKCS11_MODULE AND (NOT VX_SIGN_PKCS11_KEY OR NOT VX_SIGN_PKCS11_CERT))
  message(FATAL_ERROR "VX_SIGN_PKCS11_MODULE needs VX_SIGN_PKCS11_KEY and VX_SIGN_PKCS11_CERT")
endif()

# The configuration goes into a small wrapper of scripts/sign.sh rather than onto each
# command line: makensis runs it by its name, and a target relinks (and so is signed
# again) when the wrapper changes.
set(VX_SIGN_STAMP ${CMAKE_BINARY_DIR}/vx-sign)
set(vx_sign_text "#!/bin/sh\n# Written by cmake/VxSign.cmake: signs files in place.\n")
foreach(v ${vx_sign_vars})
  # Single quotes keep the shell from reading anything into a path or URL.
  string(REPLACE "'" "'\\''" q "${${v}}")
  string(APPEND vx_sign_text "${v}='${q}'; export ${v}\n")
endforeach()
string(APPEND vx_sign_text "exec '${CMAKE_SOURCE_DIR}/scripts/sign.sh' \"$@\"\n")
set(vx_sign_old "")
if(EXISTS ${VX_SIGN_STAMP})
  file(READ ${VX_SIGN_STAMP} vx_sign_old)
endif()
if(NOT vx_sign_old STREQUAL vx_sign_text)
  file(WRITE ${VX_SIGN_STAMP} "${vx_sign_text}")
endif()
file(CHMOD ${VX_SIGN_STAMP} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
     GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

if(VX_SIGN_PKCS12 OR VX_SIGN_PKCS11_MODULE)
  if(NOT VX_OSSLSIGNCODE)
    message(FATAL_ERROR "signing needs osslsigncode (scripts/bootstrap.sh installs it)")
  endif()
  set(VX_SIGN_COMMAND ${VX_SIGN_STAMP})
  message(STATUS "Signing with ${VX_SIGN_PKCS12}${VX_SIGN_PKCS11_KEY}")
else()
  set(VX_SIGN_COMMAND "")
endif()

# Signing is a step of its own after the link (target <target>_signed, part of "all"),
# so that it can be asked for wherever the shipped files are listed, not only where each
# target is made. A target that packs the signed file depends on <target>_signed
# (vx_sign_before()).
function(vx_sign_target target)
  # The self-decrypting stub gets data appended to each copy: a signature on it would
  # arrive broken in every file velvox writes.
  if(target STREQUAL "tvsfxstub")
    message(FATAL_ERROR "tvsfxstub must stay unsigned")
  endif()
  # A changed configuration relinks the file, so an unsigned build unsigns it again.
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${VX_SIGN_STAMP})
  set_property(GLOBAL APPEND PROPERTY VX_SIGNED_TARGETS ${target})
  if(VX_SIGN_COMMAND)
    set(stamp ${CMAKE_BINARY_DIR}/signed/${target}.stamp)
    file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/signed)
    add_custom_command(OUTPUT ${stamp}
      COMMAND ${VX_SIGN_COMMAND} $<TARGET_FILE:${target}>
      COMMAND ${CMAKE_COMMAND} -E touch ${stamp}
      DEPENDS ${target} ${VX_SIGN_STAMP}
      COMMENT "Signing ${target}"
      VERBATIM)
    add_custom_target(${target}_signed ALL DEPENDS ${stamp})
  else()
    add_custom_target(${target}_signed)
  endif()
  add_dependencies(${target}_signed ${target})
endfunction()

# Makes <consumer> wait for every file that vx_sign_target() signs.
function(vx_sign_before consumer)
  get_property(targets GLOBAL PROPERTY VX_SIGNED_TARGETS)
  foreach(t ${targets})
    add_dependencies(${consumer} ${t}_signed)
  endforeach()
endfunction()

# NSIS unpacks the plug-ins a setup calls (nsExec.dll, System.dll, ...) into a temporary
# folder and loads them from there: they ship with the setup too. Signed copies of the
# installed NSIS's plug-ins go to a folder that velvox.nsi names with !addplugindir,
# which makensis prefers to its own. <args> receives the makensis defines, <deps> the
# files the setup must be rebuilt after.
function(vx_sign_nsis args deps)
  if(NOT VX_SIGN_COMMAND)
    set(${args} "" PARENT_SCOPE)
    set(${deps} ${VX_SIGN_STAMP} PARENT_SCOPE)
    return()
  endif()
  find_path(VX_NSIS_PLUGINS nsExec.dll PATHS /usr/share/nsis/Plugins/amd64-unicode
            NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH REQUIRED)
  file(GLOB plugins CONFIGURE_DEPENDS ${VX_NSIS_PLUGINS}/*.dll)
  set(dir ${CMAKE_BINARY_DIR}/nsis-plugins)
  set(signed)
  foreach(p ${plugins})
    get_filename_component(name ${p} NAME)
    # Signed under another name first: a failed signing leaves no unsigned plug-in that
    # looks finished.
    add_custom_command(OUTPUT ${dir}/${name}
      COMMAND ${CMAKE_COMMAND} -E copy ${p} ${dir}/${name}.part
      COMMAND ${VX_SIGN_COMMAND} ${dir}/${name}.part
      COMMAND ${CMAKE_COMMAND} -E rename ${dir}/${name}.part ${dir}/${name}
      DEPENDS ${p} ${VX_SIGN_STAMP}
      VERBATIM)
    list(APPEND signed ${dir}/${name})
  endforeach()
  set(${args} -DVX_SIGN=${VX_SIGN_COMMAND} -DVX_SIGNED_PLUGINS=${dir} PARENT_SCOPE)
  set(${deps} ${VX_SIGN_STAMP} ${signed} PARENT_SCOPE)
endfunction()
