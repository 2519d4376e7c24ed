# mattivo_library(name LIBS ...): a static library of every .cpp in the calling
# folder, position independent so that the plug-in can take it in whole.
function(mattivo_library name)
  cmake_parse_arguments(L "" "" "LIBS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(NOT sources)
    return()
  endif()
  add_library(${name} STATIC ${sources})
  target_link_libraries(${name} PUBLIC ofx_api ${L_LIBS})
endfunction()
