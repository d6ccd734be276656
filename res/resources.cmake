# Include from the CMakeLists.txt that compiles ZPVUpdate.rc: makes the
# resource object depend on every file the script pulls in, so a regenerated
# image, skin or icon recompiles it.
file(GLOB ZPV_RESOURCE_FILES CONFIGURE_DEPENDS
  ${CMAKE_CURRENT_LIST_DIR}/png/*.png
  ${CMAKE_CURRENT_LIST_DIR}/skin*.xml
  ${CMAKE_CURRENT_LIST_DIR}/icon/*.bin
  ${CMAKE_CURRENT_LIST_DIR}/ZPVUpdate.manifest)
set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/ZPVUpdate.rc
  PROPERTIES OBJECT_DEPENDS "${ZPV_RESOURCE_FILES}")
