# Our own targets build warning-clean; third-party headers come in as SYSTEM.
function(tvb_warnings target)
  # Four-character codes ('TvPl') are everyday Mac idiom.
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror -Wno-multichar)
endfunction()

# One library or executable per folder: every .cpp in it, found again when files are added.
function(tvb_glob_sources out dir)
  file(GLOB _srcs CONFIGURE_DEPENDS ${dir}/*.cpp)
  set(${out} ${_srcs} PARENT_SCOPE)
endfunction()

# A stand-in framework or library from one folder: static when it has sources yet,
# an empty interface otherwise so that dependants can name it from the start.
function(tvb_library name dir)
  cmake_parse_arguments(ARG "" "" "PUBLIC_LIBS;PRIVATE_LIBS;INCLUDES" ${ARGN})
  tvb_glob_sources(_srcs ${dir})
  if(_srcs)
    add_library(${name} STATIC ${_srcs})
    target_include_directories(${name} PUBLIC ${ARG_INCLUDES})
    target_link_libraries(${name} PUBLIC ${ARG_PUBLIC_LIBS} PRIVATE ${ARG_PRIVATE_LIBS})
    tvb_warnings(${name})
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${ARG_INCLUDES})
    target_link_libraries(${name} INTERFACE ${ARG_PUBLIC_LIBS})
  endif()
endfunction()
