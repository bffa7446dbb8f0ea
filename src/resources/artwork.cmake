# The program's artwork, rendered at build time from the SVG sources in resources/artwork by
# scripts/make_icons.sh, and compiled into corvane_ui with the form descriptions (resource name
# "corvane", prefix /corvane). The rendered desktop-menu icons are installed from here too.
find_program(CORVANE_RSVG_CONVERT rsvg-convert REQUIRED)
find_program(CORVANE_IM_CONVERT convert REQUIRED)

set(CORVANE_ARTWORK_DIR ${CMAKE_CURRENT_BINARY_DIR}/artwork CACHE INTERNAL "Rendered artwork")
set(artwork_sources corvane protection_off options update help tray exit)
set(artwork_svgs)
set(artwork_icons)
foreach(name IN LISTS artwork_sources)
  list(APPEND artwork_svgs ${CMAKE_CURRENT_SOURCE_DIR}/resources/artwork/${name}.svg)
  list(APPEND artwork_icons ${CORVANE_ARTWORK_DIR}/icons/${name}.ico)
endforeach()
set(artwork_hicolor)
foreach(size 16 32 48 128)
  list(APPEND artwork_hicolor ${CORVANE_ARTWORK_DIR}/hicolor/${size}x${size}/apps/corvane.png)
endforeach()
add_custom_command(
  OUTPUT ${artwork_icons} ${artwork_hicolor} ${CORVANE_ARTWORK_DIR}/hicolor/scalable/apps/corvane.svg
  COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/make_icons.sh ${CORVANE_ARTWORK_DIR}
  DEPENDS ${artwork_svgs} ${PROJECT_SOURCE_DIR}/scripts/make_icons.sh
  COMMENT "Rendering the artwork"
  VERBATIM)

# The resource list names rendered files by absolute path under their resource names.
set(qrc_entries "")
foreach(name IN LISTS artwork_sources)
  string(APPEND qrc_entries "  <file alias=\"icons/${name}.ico\">${CORVANE_ARTWORK_DIR}/icons/${name}.ico</file>\n")
endforeach()
set(form_files)
file(GLOB form_files CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/resources/forms/*.json)
foreach(form IN LISTS form_files)
  get_filename_component(form_name ${form} NAME)
  string(APPEND qrc_entries "  <file alias=\"forms/${form_name}\">${form}</file>\n")
endforeach()
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/corvane.qrc.in
  "<!DOCTYPE RCC><RCC version=\"1.0\">\n<qresource prefix=\"/corvane\">\n${qrc_entries}</qresource>\n</RCC>\n")
configure_file(${CMAKE_CURRENT_BINARY_DIR}/corvane.qrc.in ${CMAKE_CURRENT_BINARY_DIR}/corvane.qrc COPYONLY)

add_custom_command(
  OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/qrc_corvane.cpp
  COMMAND Qt6::rcc --name corvane --output ${CMAKE_CURRENT_BINARY_DIR}/qrc_corvane.cpp
          ${CMAKE_CURRENT_BINARY_DIR}/corvane.qrc
  DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/corvane.qrc ${artwork_icons} ${form_files}
  COMMENT "Compiling the resources"
  VERBATIM)
set_source_files_properties(${CMAKE_CURRENT_BINARY_DIR}/qrc_corvane.cpp PROPERTIES SKIP_AUTOGEN ON)
target_sources(corvane_ui PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/qrc_corvane.cpp)
