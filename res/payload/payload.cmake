# The sample payload that setup.exe carries: the package "Tessaro" made at
# build time and a manifest listing it as per-machine, keeping the command
# line's UI level (flags 0x9). Included by setup/CMakeLists.txt; it sets
# SETUP_PAYLOAD_FILES to the generated resource script.
find_program(PYTHON3_EXECUTABLE python3 REQUIRED)

set(SAMPLE_DIR ${CMAKE_BINARY_DIR}/payload)
set(SAMPLE_PACKAGE ${SAMPLE_DIR}/Tessaro.msi)
set(SAMPLE_MANIFEST ${SAMPLE_DIR}/manifest.bin)
set(SAMPLE_PRODUCT_CODE "{1189E917-FC1A-4448-8D11-A872B4284769}")
set(SAMPLE_PACKAGE_CODE "{5E41FBA0-B100-461E-887F-D64A2B377947}")
set(SAMPLE_COMPONENT_CODE "{B26E7315-1E90-4F68-9953-19C6922B60CF}")
set(SAMPLE_VERSION 1.0.0.0)
set(SAMPLE_FLAGS 0x9)

add_custom_command(OUTPUT ${SAMPLE_PACKAGE}
  COMMAND ${CMAKE_SOURCE_DIR}/scripts/make-msi.sh ${SAMPLE_PACKAGE} --name Tessaro
          --code ${SAMPLE_PRODUCT_CODE} --version ${SAMPLE_VERSION}
          --package-code ${SAMPLE_PACKAGE_CODE} --component-code ${SAMPLE_COMPONENT_CODE}
  DEPENDS ${CMAKE_SOURCE_DIR}/scripts/make-msi.sh ${CMAKE_CURRENT_LIST_FILE}
  COMMENT "Making the sample package Tessaro.msi"
  VERBATIM)
add_custom_command(OUTPUT ${SAMPLE_MANIFEST}
  COMMAND ${PYTHON3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/make-manifest.py ${SAMPLE_MANIFEST}
          --package MSI00 Tessaro.msi ${SAMPLE_PRODUCT_CODE} ${SAMPLE_VERSION} ${SAMPLE_FLAGS}
  DEPENDS ${CMAKE_CURRENT_LIST_DIR}/make-manifest.py ${CMAKE_CURRENT_LIST_FILE}
  COMMENT "Writing the sample manifest"
  VERBATIM)

# "MANIFEST" is a keyword to the resource compiler: the name goes in quotes.
file(MAKE_DIRECTORY ${SAMPLE_DIR})
file(WRITE ${SAMPLE_DIR}/payload.rc.in
  "LANGUAGE 0, 0\n\"MANIFEST\" RCDATA \"${SAMPLE_MANIFEST}\"\nMSI00 RCDATA \"${SAMPLE_PACKAGE}\"\n")
configure_file(${SAMPLE_DIR}/payload.rc.in ${SAMPLE_DIR}/payload.rc COPYONLY)
set_source_files_properties(${SAMPLE_DIR}/payload.rc PROPERTIES
  OBJECT_DEPENDS "${SAMPLE_PACKAGE};${SAMPLE_MANIFEST}")
set(SETUP_PAYLOAD_FILES ${SAMPLE_DIR}/payload.rc)
