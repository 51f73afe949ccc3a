# Locates CPython 2.7 (release and Py_DEBUG builds) and defines add_python_extension().
#
# Extension modules are built twice: NAME.so against the release headers for python2.7, and
# NAME_d.so against the debug headers for python2.7-dbg, which imports NAME_d.so first. Neither is
# linked against libpython: the importing interpreter provides the symbols.

find_program(PYTHON27 NAMES python2.7 PATHS /usr/bin NO_DEFAULT_PATH REQUIRED)
find_program(PYTHON27_DBG NAMES python2.7-dbg PATHS /usr/bin NO_DEFAULT_PATH REQUIRED)
find_path(PYTHON27_INCLUDE Python.h PATHS /usr/include/python2.7 NO_DEFAULT_PATH REQUIRED)
find_path(PYTHON27_DBG_INCLUDE Python.h PATHS /usr/include/python2.7_d NO_DEFAULT_PATH REQUIRED)
# The debug headers are symlinks to the release ones, and the compiler resolves the link before it
# looks up "pyconfig.h" beside Python.h: the debug flavour would get the release configuration.
# Including the debug configuration first (its include guard is the same) gives Py_DEBUG.
find_file(PYTHON27_DBG_PYCONFIG pyconfig.h
  PATHS /usr/include/${CMAKE_LIBRARY_ARCHITECTURE}/python2.7_d /usr/include/x86_64-linux-gnu/python2.7_d
  NO_DEFAULT_PATH REQUIRED)
find_library(LIBPYTHON27 NAMES python2.7 REQUIRED)
find_library(LIBPYTHON27_DBG NAMES python2.7_d REQUIRED)

set(PROJECT_WARNINGS -Wall -Wextra)

# add_python_extension(NAME [OUTPUT_DIR dir] SOURCES src... [INCLUDES dir...] [LIBS lib...])
# Defines the targets NAME (release) and NAME_d (debug). Interpreter headers are system headers,
# so -Wall -Wextra apply to our own code only.
function(add_python_extension name)
  cmake_parse_arguments(EXT "" "OUTPUT_DIR" "SOURCES;INCLUDES;LIBS" ${ARGN})
  if(NOT EXT_OUTPUT_DIR)
    set(EXT_OUTPUT_DIR ${PYTHON_MODULE_DIR})
  endif()
  foreach(flavour release debug)
    if(flavour STREQUAL release)
      set(target ${name})
      set(include ${PYTHON27_INCLUDE})
      set(file_name ${name})
      set(extra_flags)
    else()
      set(target ${name}_d)
      set(include ${PYTHON27_DBG_INCLUDE})
      set(file_name ${name}_d)
      set(extra_flags -include ${PYTHON27_DBG_PYCONFIG})
    endif()
    add_library(${target} MODULE ${EXT_SOURCES})
    target_include_directories(${target} SYSTEM PRIVATE ${include})
    target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR}/src/common ${EXT_INCLUDES})
    target_compile_options(${target} PRIVATE ${PROJECT_WARNINGS} -fvisibility=hidden ${extra_flags})
    target_link_libraries(${target} PRIVATE ${EXT_LIBS} ${CMAKE_DL_LIBS})
    set_target_properties(${target} PROPERTIES
      PREFIX "" OUTPUT_NAME ${file_name} SUFFIX ".so"
      LIBRARY_OUTPUT_DIRECTORY ${EXT_OUTPUT_DIR})
  endforeach()
endfunction()
