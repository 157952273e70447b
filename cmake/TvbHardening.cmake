# The hardening a distribution expects of the programs it installs: stack protector and
# stack clash protection, checked string and memory functions, control-flow protection where
# the target has it, and relocations resolved at start and then made read-only. Left out of a
# sanitized build: the sanitizers check more, and the checked functions would hide calls from
# them.
include(CheckCXXCompilerFlag)

if(TVB_SANITIZE)
  set(_tvb_harden_default OFF)
else()
  set(_tvb_harden_default ON)
endif()
option(TVB_HARDEN "Build with the usual distribution hardening flags" ${_tvb_harden_default})

if(TVB_HARDEN)
  foreach(flag -fstack-protector-strong -fstack-clash-protection -fcf-protection)
    string(MAKE_C_IDENTIFIER "TVB_HAS${flag}" var)
    check_cxx_compiler_flag(${flag} ${var})
    if(${var})
      add_compile_options(${flag})
    endif()
  endforeach()
  # The checks need the optimizer; a compiler that sets a level of its own is overruled
  # rather than warned about (warnings are errors here).
  add_compile_options($<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE>
                      $<$<NOT:$<CONFIG:Debug>>:-D_FORTIFY_SOURCE=2>)
  add_link_options(LINKER:-z,relro LINKER:-z,now)
endif()
