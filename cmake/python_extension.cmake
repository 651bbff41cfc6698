# quorvalent_add_extension(<name> SOURCES <file>... [LINK <target>...])
#
# Needs find_package(Python COMPONENTS Interpreter Development.Module) first.
#
# One CPython extension module with the project's settings: the interpreter's headers as
# SYSTEM includes (they are not ours to make -Wpedantic clean), reference-count debugging when
# the interpreter is a debug build, hidden symbols with PyInit_<name> the only export, and an
# install rule that puts the module at the top of the wheel.
function(quorvalent_add_extension name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "SOURCES;LINK")
  python_add_library(${name} MODULE WITH_SOABI ${arg_SOURCES})
  target_link_libraries(${name} PRIVATE ${arg_LINK})
  get_target_property(_py_includes Python::Module INTERFACE_INCLUDE_DIRECTORIES)
  target_include_directories(${name} SYSTEM PRIVATE ${_py_includes})
  quorvalent_extension_settings(${name})
  install(TARGETS ${name} LIBRARY DESTINATION .)
endfunction()

# The settings alone, for a module whose target another tool created (nanobind).
function(quorvalent_extension_settings name)
  # Debian's debug headers are links to the release ones, so Python.h finds the release
  # pyconfig.h beside itself; a debug interpreter's reference counting must be asked for.
  execute_process(
    COMMAND "${Python_EXECUTABLE}" -c "import sysconfig; print(sysconfig.get_config_var('Py_DEBUG') or 0)"
    OUTPUT_VARIABLE _py_debug OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(_py_debug)
    target_compile_definitions(${name} PRIVATE Py_DEBUG)
  endif()
  set_target_properties(${name} PROPERTIES CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
  # Hidden visibility already keeps everything but the init entry inside; where the linker is
  # GNU-compatible a version script makes sure of it. Apple's linker and MSVC's have no such
  # option, and on Windows only what is marked for export leaves the DLL anyway.
  if(NOT APPLE AND NOT WIN32 AND NOT MSVC)
    set(_map "${CMAKE_CURRENT_BINARY_DIR}/${name}_exports.map")
    file(CONFIGURE OUTPUT "${_map}" CONTENT "{\n  global: PyInit_${name};\n  local: *;\n};\n")
    target_link_options(${name} PRIVATE "-Wl,--version-script=${_map}")
    set_property(TARGET ${name} APPEND PROPERTY LINK_DEPENDS "${_map}")
  endif()
endfunction()
