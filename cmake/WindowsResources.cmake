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
