# The release bundle: Quolm-Portwright-<version>-win32.zip (or -win64.zip) in
# the build tree, built with everything else. It holds the stripped program,
# the sample command table, the README for Windows users and the licence, in
# one folder of the bundle's name.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(QUOLM_BUNDLE_ARCH win64)
else()
  set(QUOLM_BUNDLE_ARCH win32)
endif()
set(QUOLM_BUNDLE_NAME
    Quolm-Portwright-${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}-${QUOLM_BUNDLE_ARCH})
set(QUOLM_BUNDLE_ZIP ${CMAKE_BINARY_DIR}/${QUOLM_BUNDLE_NAME}.zip CACHE INTERNAL "")
set(_stage_root ${CMAKE_BINARY_DIR}/bundle)
set(_stage ${_stage_root}/${QUOLM_BUNDLE_NAME})
set(_files ${CMAKE_SOURCE_DIR}/dist/quolm.dat ${CMAKE_SOURCE_DIR}/dist/README.txt ${CMAKE_SOURCE_DIR}/LICENSE)

add_custom_command(
  OUTPUT ${QUOLM_BUNDLE_ZIP}
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${_stage}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${_stage}
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:Quolm> ${_files} ${_stage}
  COMMAND ${CMAKE_STRIP} ${_stage}/Quolm.exe
  COMMAND ${CMAKE_COMMAND} -E rm -f ${QUOLM_BUNDLE_ZIP}
  COMMAND ${CMAKE_COMMAND} -E chdir ${_stage_root}
          ${CMAKE_COMMAND} -E tar cf ${QUOLM_BUNDLE_ZIP} --format=zip ${QUOLM_BUNDLE_NAME}
  DEPENDS Quolm ${_files}
  COMMENT "Bundling ${QUOLM_BUNDLE_NAME}.zip"
  VERBATIM)
add_custom_target(bundle ALL DEPENDS ${QUOLM_BUNDLE_ZIP})
