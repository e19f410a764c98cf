# pelio_add_driver_bundle(<target>
#     NAME <name>                   the bundle is <name>.driver, its executable Contents/MacOS/<name>
#     IDENTIFIER <identifier>       CFBundleIdentifier, for example local.pelio.audio.driver
#     FACTORY_UUID <uuid>           the factory that CFPlugInTypes names for the audio server type
#     FACTORY_FUNCTION <symbol>     the factory's exported name, listed under FACTORY_UUID
#     SOURCES <file>...
#     [LIBRARIES <library>...]
#     [VERSION <x.y.z>]             CFBundleVersion and CFBundleShortVersionString (default:
#                                   the project's version, or 1.0.0 when it has none)
#     [NETWORK]                     adds AudioServerPlugIn_Network true: the plug-in uses the network
#     [OUTPUT_DIRECTORY <folder>]   where <name>.driver goes (default: PELIO_PLUGIN_DIRECTORY)
#     [INFO_PLIST <template>])      another Info.plist template (default: DriverInfo.plist.in)
#
# Builds an audio server plug-in bundle laid out as on macOS:
#     <name>.driver/Contents/Info.plist
#     <name>.driver/Contents/MacOS/<name>
# On macOS the executable is a Mach-O bundle (a MODULE with BUNDLE); elsewhere it is a loadable
# shared object at the same path, which the simulated audio server (host/) loads the same way.
# The module exports only what its sources mark for export (the factory); code from static
# libraries it links stays private to it. It links the platform (the frameworks, or the shared
# substitute) and never a copy of it.
#
# The template sees @PELIO_BUNDLE_EXECUTABLE@, @PELIO_BUNDLE_IDENTIFIER@, @PELIO_BUNDLE_NAME@,
# @PELIO_BUNDLE_VERSION@, @PELIO_BUNDLE_SHORT_VERSION@, @PELIO_BUNDLE_FACTORY_UUID@,
# @PELIO_BUNDLE_FACTORY_FUNCTION@, @PELIO_BUNDLE_PLUGIN_TYPE_UUID@ and @PELIO_BUNDLE_EXTRA_KEYS@
# (the optional keys, as plist text).

# The plug-in type that the audio server asks bundles' factories for.
set(PELIO_AUDIO_SERVER_PLUGIN_TYPE_UUID "443ABAB8-E7B3-491A-B985-BEB9187030DB")

# The plug-in folder of the build, the counterpart of /Library/Audio/Plug-Ins/HAL; pelio-host
# serves it when given no other.
set(PELIO_PLUGIN_DIRECTORY "${CMAKE_BINARY_DIR}/HAL" CACHE PATH "Where driver bundles are built")

set(PELIO_DRIVER_INFO_PLIST_TEMPLATE "${CMAKE_CURRENT_LIST_DIR}/DriverInfo.plist.in")

function(pelio_add_driver_bundle target)
  cmake_parse_arguments(ARG "NETWORK"
    "NAME;IDENTIFIER;FACTORY_UUID;FACTORY_FUNCTION;VERSION;OUTPUT_DIRECTORY;INFO_PLIST"
    "SOURCES;LIBRARIES" ${ARGN})
  foreach(required NAME IDENTIFIER FACTORY_UUID FACTORY_FUNCTION SOURCES)
    if(NOT ARG_${required})
      message(FATAL_ERROR "pelio_add_driver_bundle(${target}): ${required} is required")
    endif()
  endforeach()
  string(TOUPPER "${ARG_FACTORY_UUID}" factory_uuid)
  # CMake's expressions have no repetition counts: 8-4-4-4-12 hex digits, spelled out.
  string(REPEAT "[0-9A-F]" 4 hex4)
  if(NOT factory_uuid MATCHES "^${hex4}${hex4}-${hex4}-${hex4}-${hex4}-${hex4}${hex4}${hex4}$")
    message(FATAL_ERROR "pelio_add_driver_bundle(${target}): FACTORY_UUID ${ARG_FACTORY_UUID} is not a UUID")
  endif()
  if(NOT ARG_VERSION)
    set(ARG_VERSION "${PROJECT_VERSION}")
    if(NOT ARG_VERSION)
      set(ARG_VERSION "1.0.0")
    endif()
  endif()
  if(NOT ARG_OUTPUT_DIRECTORY)
    set(ARG_OUTPUT_DIRECTORY "${PELIO_PLUGIN_DIRECTORY}")
  endif()
  if(NOT ARG_INFO_PLIST)
    set(ARG_INFO_PLIST "${PELIO_DRIVER_INFO_PLIST_TEMPLATE}")
  endif()

  set(PELIO_BUNDLE_EXECUTABLE "${ARG_NAME}")
  set(PELIO_BUNDLE_IDENTIFIER "${ARG_IDENTIFIER}")
  set(PELIO_BUNDLE_NAME "${ARG_NAME}")
  set(PELIO_BUNDLE_VERSION "${ARG_VERSION}")
  set(PELIO_BUNDLE_SHORT_VERSION "${ARG_VERSION}")
  set(PELIO_BUNDLE_FACTORY_UUID "${factory_uuid}")
  set(PELIO_BUNDLE_FACTORY_FUNCTION "${ARG_FACTORY_FUNCTION}")
  set(PELIO_BUNDLE_PLUGIN_TYPE_UUID "${PELIO_AUDIO_SERVER_PLUGIN_TYPE_UUID}")
  set(PELIO_BUNDLE_EXTRA_KEYS "")
  if(ARG_NETWORK)
    string(APPEND PELIO_BUNDLE_EXTRA_KEYS "\n\t<key>AudioServerPlugIn_Network</key>\n\t<true/>")
  endif()

  set(bundle "${ARG_OUTPUT_DIRECTORY}/${ARG_NAME}.driver")
  add_library(${target} MODULE ${ARG_SOURCES})
  target_link_libraries(${target} PRIVATE pelio_platform ${ARG_LIBRARIES})
  set_target_properties(${target} PROPERTIES
    OUTPUT_NAME "${ARG_NAME}"
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)

  if(APPLE)
    # CMake lays out the bundle itself and copies the Info.plist it is given; the one made here
    # has nothing left to substitute.
    set(info_plist "${CMAKE_CURRENT_BINARY_DIR}/${target}.Info.plist")
    configure_file("${ARG_INFO_PLIST}" "${info_plist}" @ONLY)
    set_target_properties(${target} PROPERTIES
      BUNDLE TRUE
      BUNDLE_EXTENSION driver
      LIBRARY_OUTPUT_DIRECTORY "${ARG_OUTPUT_DIRECTORY}"
      MACOSX_BUNDLE_INFO_PLIST "${info_plist}")
    # Code from the static libraries it links (the framework) keeps its default visibility; only
    # the factory leaves the bundle.
    target_link_options(${target} PRIVATE "LINKER:-exported_symbol,_${ARG_FACTORY_FUNCTION}")
  else()
    configure_file("${ARG_INFO_PLIST}" "${bundle}/Contents/Info.plist" @ONLY)
    set_target_properties(${target} PROPERTIES
      PREFIX ""
      SUFFIX ""
      LIBRARY_OUTPUT_DIRECTORY "${bundle}/Contents/MacOS")
    # Symbols of static libraries linked in (the framework) stay inside the module.
    target_link_options(${target} PRIVATE "LINKER:--exclude-libs,ALL")
  endif()
endfunction()
