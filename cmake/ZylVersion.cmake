# The one version of the product, for the programs, the library and both packages.
#   zyl_version          interface library: #include "zyl_version.h" gives ZYL_VERSION_TEXT
#   zyl_version_resource(TARGET DESCRIPTION)   a VERSIONINFO resource in a Windows binary
if(ZYL_VERSION_OVERRIDE)
  if(NOT ZYL_VERSION_OVERRIDE MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)$")
    message(FATAL_ERROR "ZYL_VERSION_OVERRIDE must be X.Y.Z, not '${ZYL_VERSION_OVERRIDE}'")
  endif()
  set(PROJECT_VERSION ${ZYL_VERSION_OVERRIDE})
  set(PROJECT_VERSION_MAJOR ${CMAKE_MATCH_1})
  set(PROJECT_VERSION_MINOR ${CMAKE_MATCH_2})
  set(PROJECT_VERSION_PATCH ${CMAKE_MATCH_3})
endif()
set(ZYL_PRODUCT_NAME "Tavik Zyl Control")
set(ZYL_COMPANY_NAME "Tavik")

set(zyl_generated_dir ${PROJECT_BINARY_DIR}/generated)
configure_file(${CMAKE_CURRENT_LIST_DIR}/zyl_version.h.in ${zyl_generated_dir}/zyl_version.h @ONLY)
add_library(zyl_version INTERFACE)
target_include_directories(zyl_version INTERFACE ${zyl_generated_dir})

function(zyl_version_resource target description)
  if(NOT WIN32)
    return()
  endif()
  set(ZYL_FILE_DESCRIPTION "${description}")
  set(ZYL_ORIGINAL_FILENAME "$<TARGET_FILE_NAME:${target}>")
  get_target_property(kind ${target} TYPE)
  if(kind STREQUAL "SHARED_LIBRARY")
    set(ZYL_FILE_TYPE VFT_DLL)
  else()
    set(ZYL_FILE_TYPE VFT_APP)
  endif()
  set(rc ${zyl_generated_dir}/${target}_version.rc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${rc}.in @ONLY)
  # The file name is known only at generation time.
  file(GENERATE OUTPUT ${rc} INPUT ${rc}.in)
  target_sources(${target} PRIVATE ${rc})
endfunction()

