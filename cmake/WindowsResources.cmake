# The build number: what tells two packages of the same project version apart,
# so that a later build always upgrades an earlier one. COLLI_BUILD_NUMBER
# (environment, or -D on cmake's command line), else the number of commits up
# to the checkout's HEAD. Worked out at every configure, never kept in the cache.
if(NOT "$ENV{COLLI_BUILD_NUMBER}" STREQUAL "")
  set(build_number "$ENV{COLLI_BUILD_NUMBER}")
elseif(NOT "${COLLI_BUILD_NUMBER}" STREQUAL "")
  set(build_number "${COLLI_BUILD_NUMBER}")
else()
  execute_process(COMMAND git rev-list --count HEAD WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                  OUTPUT_VARIABLE build_number OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed ERROR_QUIET)
  if(failed OR build_number STREQUAL "")
    message(FATAL_ERROR "No build number: set COLLI_BUILD_NUMBER (this is no git checkout)")
  endif()
endif()
# A version resource field and the fourth part of an MSI version hold 0 to 65535.
if(NOT build_number MATCHES "^[0-9]+$" OR build_number GREATER 65535)
  message(FATAL_ERROR "COLLI_BUILD_NUMBER must be a number from 0 to 65535, not '${build_number}'")
endif()
set(COLLI_VERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.${build_number})
set(COLLI_BUILD ${build_number})
message(STATUS "Windows programs' version: ${COLLI_VERSION}")

# The manifest (Windows versions, common controls 6, DPI awareness, no
# elevation) and the version resource of one program, both from the project.
function(colli_windows_resources target description)
  set(COLLI_PROGRAM ${target})
  set(COLLI_DESCRIPTION "${description}")
  set(folder ${CMAKE_CURRENT_BINARY_DIR}/${target}-resources)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/windows/program.manifest.in ${folder}/${target}.manifest @ONLY)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/windows/program.rc.in ${folder}/${target}.rc @ONLY)
  # windres does not tell which files the script pulls in.
  set_source_files_properties(${folder}/${target}.rc PROPERTIES OBJECT_DEPENDS ${folder}/${target}.manifest)
  target_sources(${target} PRIVATE ${folder}/${target}.rc)
endfunction()
