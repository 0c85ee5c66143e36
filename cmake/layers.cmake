# zq_layer(NAME FOLDER SOURCES file... [USES target...]): one layer of the
# core as a static library, standard C++ without exceptions. It sees the
# headers of its own folder and of the layers it uses, nothing else, so an
# include against the grain fails to compile rather than creep in.
function(zq_layer name folder)
  cmake_parse_arguments(ARG "" "" "SOURCES;USES" ${ARGN})
  zq_layer_headers(${name}_headers ${folder})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_link_libraries(${name} PUBLIC ${name}_headers ${ARG_USES})
  target_compile_options(${name} PRIVATE -fno-exceptions)
endfunction()

# zq_layer_headers(NAME FOLDER): the folder's headers alone, as an interface
# target, seen through a folder that holds nothing but a link to it.
function(zq_layer_headers name folder)
  set(stage ${CMAKE_BINARY_DIR}/layers/${folder})
  file(MAKE_DIRECTORY ${stage})
  file(CREATE_LINK ${CMAKE_SOURCE_DIR}/${folder} ${stage}/${folder} SYMBOLIC)
  add_library(${name} INTERFACE)
  target_include_directories(${name} INTERFACE ${stage})
endfunction()
