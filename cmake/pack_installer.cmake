# Installer images are linked by scripts/pack-installer, which alone knows
# the link flags and what goes into the image; these rules only say when to
# run it. Included once, after every stub library is defined.
# Cache variables, so that pack_installer() sees them from every folder.
set(PACK_INSTALLER_SCRIPT "${PROJECT_SOURCE_DIR}/scripts/pack-installer"
    CACHE INTERNAL "")
file(GLOB PACK_INSTALLER_MODULES CONFIGURE_DEPENDS
     "${PROJECT_SOURCE_DIR}/tools/release_tools/*.py")
list(FILTER PACK_INSTALLER_MODULES EXCLUDE REGEX "_test\\.py$")
set(PACK_INSTALLER_FORMATS "${PACK_INSTALLER_MODULES}" CACHE INTERNAL "")
set(INSTALLER_ICON "${CMAKE_BINARY_DIR}/resources/installer.ico"
    CACHE INTERNAL "")
set(INSTALLER_RESOURCE_FILES
  "${PROJECT_SOURCE_DIR}/resources/installer.rc"
  "${PROJECT_SOURCE_DIR}/resources/installer.manifest"
  CACHE INTERNAL "")

find_program(PYTHON3 python3 REQUIRED)

add_custom_command(OUTPUT "${INSTALLER_ICON}"
  COMMAND ${CMAKE_COMMAND} -E make_directory "${CMAKE_BINARY_DIR}/resources"
  COMMAND ${PYTHON3} "${PROJECT_SOURCE_DIR}/scripts/make-icon"
          "${INSTALLER_ICON}"
  DEPENDS "${PROJECT_SOURCE_DIR}/scripts/make-icon"
  COMMENT "Drawing the installer icon"
  VERBATIM)
add_custom_target(installer_icon DEPENDS "${INSTALLER_ICON}")

# pack_installer(TARGET_NAME
#                {NO_PAYLOAD | ARCHIVE file SETUP file [SETUP_KIND kind]}
#                [ARCHIVE_NAME name] [SETUP_NAME name]
#                [PREVIOUS_VERSION text] OUTPUT file [MAP file]
#                [OPTIONS option...] [DEPENDS target-or-file...])
# OPTIONS are further options of the packing command, as they are.
# Makes OUTPUT at build time; TARGET_NAME is built by default. An empty
# PREVIOUS_VERSION stores the empty text. The build packs only test
# installers, some of which fail on purpose and all of which the tests run
# for real, so it skips the inspection and needs no Wine; it has just built
# what packing needs, so the packing command leaves the build alone.
function(pack_installer name)
  cmake_parse_arguments(ARG "NO_PAYLOAD;ALLOW_ELEVATED_SETUP"
    "ARCHIVE;SETUP;SETUP_KIND;ARCHIVE_NAME;SETUP_NAME;PREVIOUS_VERSION;OUTPUT;MAP"
    "DEPENDS;OPTIONS" ${ARGN})
  if(NOT ARG_OUTPUT)
    message(FATAL_ERROR "pack_installer(${name}): OUTPUT is required")
  endif()
  set(arguments --no-inspect --no-build --quiet)
  set(inputs)
  if(ARG_NO_PAYLOAD)
    list(APPEND arguments --no-payload)
  else()
    if(NOT ARG_ARCHIVE OR NOT ARG_SETUP)
      message(FATAL_ERROR "pack_installer(${name}): ARCHIVE and SETUP are required")
    endif()
    list(APPEND arguments --archive "${ARG_ARCHIVE}" --setup "${ARG_SETUP}")
    list(APPEND inputs "${ARG_ARCHIVE}" "${ARG_SETUP}")
    if(ARG_SETUP_KIND)
      list(APPEND arguments --setup-kind "${ARG_SETUP_KIND}")
    endif()
    if(ARG_ALLOW_ELEVATED_SETUP)
      list(APPEND arguments --allow-elevated-setup)
    endif()
  endif()
  if(ARG_ARCHIVE_NAME)
    list(APPEND arguments --archive-name "${ARG_ARCHIVE_NAME}")
  endif()
  if(ARG_SETUP_NAME)
    list(APPEND arguments --setup-name "${ARG_SETUP_NAME}")
  endif()
  if(DEFINED ARG_PREVIOUS_VERSION)
    list(APPEND arguments "--previous-version=${ARG_PREVIOUS_VERSION}")
  elseif("PREVIOUS_VERSION" IN_LIST ARG_KEYWORDS_MISSING_VALUES)
    list(APPEND arguments "--previous-version=")
  endif()
  list(APPEND arguments ${ARG_OPTIONS})
  set(outputs "${ARG_OUTPUT}")
  if(ARG_MAP)
    list(APPEND arguments --map "${ARG_MAP}")
    list(APPEND outputs "${ARG_MAP}")
  endif()
  get_property(stub_libraries GLOBAL PROPERTY STUB_LIBRARIES)
  # An installer with a payload is the bare stub with the payload laid in;
  # only the bare stub and the layouts with a map are linked.
  set(bare_stub)
  if(NOT ARG_NO_PAYLOAD AND NOT ARG_MAP)
    set(bare_stub installer_stub "${CMAKE_BINARY_DIR}/stub/installer_stub.exe")
  endif()
  add_custom_command(OUTPUT ${outputs}
    COMMAND ${CMAKE_COMMAND} -E env
            "STUB_CC=${CMAKE_C_COMPILER}" "STUB_WINDRES=${CMAKE_RC_COMPILER}"
            ${PYTHON3} "${PACK_INSTALLER_SCRIPT}" ${arguments}
            --output "${ARG_OUTPUT}" --build-dir "${CMAKE_BINARY_DIR}"
    DEPENDS "${PACK_INSTALLER_SCRIPT}" ${PACK_INSTALLER_FORMATS}
            ${INSTALLER_RESOURCE_FILES}
            installer_icon "${INSTALLER_ICON}" ${stub_libraries} ${inputs}
            ${bare_stub} ${ARG_DEPENDS}
    COMMENT "Packing ${ARG_OUTPUT}"
    VERBATIM)
  add_custom_target(${name} ALL DEPENDS "${ARG_OUTPUT}")
endfunction()
