# What the libraries of platform/, modbus/ and results/ need to build: the language settings, their
# packages and the include rule. Shared by the project and the fuzzers' tree (tests/fuzz).
set(CMAKE_CXX_STANDARD 20)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)
set(CMAKE_POSITION_INDEPENDENT_CODE ON)
set(CMAKE_CXX_VISIBILITY_PRESET hidden)
set(CMAKE_C_VISIBILITY_PRESET hidden)
set(CMAKE_VISIBILITY_INLINES_HIDDEN ON)
if(NOT CMAKE_BUILD_TYPE AND NOT CMAKE_CONFIGURATION_TYPES)
  set(CMAKE_BUILD_TYPE RelWithDebInfo)
endif()
add_compile_options(-Wall -Wextra -Wno-missing-field-initializers)

get_filename_component(TESMOR_SOURCE_DIR ${CMAKE_CURRENT_LIST_DIR} DIRECTORY)

find_package(PkgConfig REQUIRED)
pkg_check_modules(MODBUS REQUIRED IMPORTED_TARGET libmodbus)
find_package(SQLite3 REQUIRED)
find_package(pugixml REQUIRED)
find_package(Threads REQUIRED)

# TesmorVersion.h, the release and the host-interface word of the top CMakeLists.txt, generated
# into a folder of the build that tesmor_version shows its users. The fuzzers' tree has no version
# of its own and is handed the folder of the build that configures it (TESMOR_VERSION_DIR).
if(NOT TESMOR_VERSION_DIR)
  if(NOT PROJECT_VERSION OR NOT TESMOR_HOST_INTERFACE_VERSION)
    message(FATAL_ERROR "TesmorVersion.h needs the project's version and TESMOR_HOST_INTERFACE_VERSION, "
                        "or TESMOR_VERSION_DIR, a folder holding one")
  endif()
  set(TESMOR_VERSION_DIR ${CMAKE_BINARY_DIR}/generated)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/TesmorVersion.h.in ${TESMOR_VERSION_DIR}/TesmorVersion.h @ONLY)
endif()
add_library(tesmor_version INTERFACE)
target_include_directories(tesmor_version INTERFACE ${TESMOR_VERSION_DIR})

# Headers are included by folder ("modbus/RegisterMap.h"), and a library shows its users its own
# folder only: whoever includes "modbus/..." must link tesmor::modbus. The folder is reached
# through a link in the build tree, as the source tree's root would show every folder at once.
#   tesmor_export_folder(TARGET FOLDER [AS NAME] [FILES FILE...]): FOLDER relative to the source
#   root; NAME, the folder name used in #include lines, defaults to FOLDER's last part; FILES
#   exports only those files of the folder.
function(tesmor_export_folder target folder)
  cmake_parse_arguments(PARSE_ARGV 2 arg "" "AS" "FILES")
  cmake_path(GET folder FILENAME name)
  if(arg_AS)
    set(name ${arg_AS})
  endif()
  set(root ${CMAKE_BINARY_DIR}/include-of/${target})
  if(arg_FILES)
    file(MAKE_DIRECTORY ${root}/${name})
    foreach(file IN LISTS arg_FILES)
      file(CREATE_LINK ${TESMOR_SOURCE_DIR}/${folder}/${file} ${root}/${name}/${file} SYMBOLIC)
    endforeach()
  else()
    file(MAKE_DIRECTORY ${root})
    file(CREATE_LINK ${TESMOR_SOURCE_DIR}/${folder} ${root}/${name} SYMBOLIC)
  endif()
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    target_include_directories(${target} INTERFACE ${root})
  else()
    target_include_directories(${target} PUBLIC ${root})
  endif()
endfunction()
