# The hardening flags of a Linux build, for the processor built for.
#   dravelon_hardening_flags(COMPILE_FLAGS LINK_FLAGS)
# sets the two variables to the flags that the compiler and the linker take,
# out of the ones Debian builds with: the stack protector, PIE, stack clash
# protection, control-flow protection in the processor's form, and
# relocations read-only and bound at start. A flag that is refused is left
# out with a message, so that a processor not named here still builds.
include(CheckCXXCompilerFlag)
include(CheckLinkerFlag)

function(dravelon_hardening_flags compile_var link_var)
  set(compile -fstack-protector-strong -fPIE -fstack-clash-protection)
  string(TOLOWER "${CMAKE_SYSTEM_PROCESSOR}" processor)
  if(processor MATCHES "^(x86_64|amd64|i[3-6]86|x86)$")
    list(APPEND compile -fcf-protection)
  elseif(processor MATCHES "^(aarch64|arm64)$")
    list(APPEND compile -mbranch-protection=standard)
  endif()
  set(link -pie LINKER:-z,relro LINKER:-z,now)

  set(taken_compile)
  foreach(flag IN LISTS compile)
    string(MAKE_C_IDENTIFIER "DRAVELON_CXX_TAKES${flag}" result)
    check_cxx_compiler_flag(${flag} ${result})
    if(${result})
      list(APPEND taken_compile ${flag})
    else()
      message(STATUS "Hardening: the compiler refuses ${flag}; built without it")
    endif()
  endforeach()
  set(taken_link)
  foreach(flag IN LISTS link)
    string(MAKE_C_IDENTIFIER "DRAVELON_LINKER_TAKES${flag}" result)
    check_linker_flag(CXX ${flag} ${result})
    if(${result})
      list(APPEND taken_link ${flag})
    else()
      message(STATUS "Hardening: the linker refuses ${flag}; linked without it")
    endif()
  endforeach()
  set(${compile_var} ${taken_compile} PARENT_SCOPE)
  set(${link_var} ${taken_link} PARENT_SCOPE)
endfunction()
