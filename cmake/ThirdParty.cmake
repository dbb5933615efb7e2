# Header-only third-party code is staged into the build tree, so the cross compiler
# never sees the host's /usr/include. Nothing third-party is committed.
set(VAROMET_STAGED_INCLUDE ${CMAKE_BINARY_DIR}/staged/include)

function(varomet_stage_header source dest)
  if(NOT EXISTS ${source})
    message(FATAL_ERROR "${source} is missing: run scripts/test.sh once to install the build dependencies")
  endif()
  configure_file(${source} ${VAROMET_STAGED_INCLUDE}/${dest} COPYONLY)
endfunction()

function(varomet_stage_tree source dest)
  if(NOT IS_DIRECTORY ${source})
    message(FATAL_ERROR "${source} is missing: run scripts/test.sh once to install the build dependencies")
  endif()
  file(COPY ${source}/ DESTINATION ${VAROMET_STAGED_INCLUDE}/${dest})
endfunction()

varomet_stage_header(/usr/include/FlexLexer.h FlexLexer.h)
varomet_stage_tree(/usr/include/nlohmann nlohmann)
varomet_stage_tree(/usr/include/utf8cpp utf8cpp)

# Headers only: an interface target, so including it adds no host directories.
add_library(varomet_staged INTERFACE)
target_include_directories(varomet_staged SYSTEM INTERFACE ${VAROMET_STAGED_INCLUDE})

find_package(FLEX 2.6 REQUIRED)
find_package(BISON 3.8 REQUIRED)

# GoogleTest from Debian's sources, built with this configuration's compiler and flags.
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
