# mattivo_library(name LIBS ...): a static library of every .cpp in the calling
# folder, position independent so that the plug-in can take it in whole.
function(mattivo_library name)
  cmake_parse_arguments(L "" "" "LIBS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  add_library(${name} STATIC ${sources})
  target_link_libraries(${name} PUBLIC ofx_api ${L_LIBS})
endfunction()

# mattivo_add_subfolders(): adds every folder below the calling one that has a
# CMakeLists.txt, in name order (tests and benchmarks keep one folder per area).
function(mattivo_add_subfolders)
  file(GLOB dirs LIST_DIRECTORIES true ${CMAKE_CURRENT_SOURCE_DIR}/*)
  list(SORT dirs)
  foreach(dir ${dirs})
    if(IS_DIRECTORY ${dir} AND EXISTS ${dir}/CMakeLists.txt)
      add_subdirectory(${dir})
    endif()
  endforeach()
endfunction()
