# SPDX-License-Identifier: MIT
# kqser_harden(<target>...): the hardening Debian's release builds use, for
# every build type but Debug: stack protector, fortified libc calls
# (_FORTIFY_SOURCE=2 needs the optimiser, hence not in Debug), and a
# read-only relocation table resolved at load time (RELRO with BIND_NOW).
# None of this changes an exported symbol: the fortified calls are imports,
# and BIND_NOW resolves trace_log at load time through the same dynamic symbol
# table, so a host's own trace_log still receives the silent build's calls.
# Sanitized builds keep their own instrumentation and get no fortified calls,
# which the sanitizers' interceptors would shadow.
include_guard(GLOBAL)

function(kqser_harden)
  set(release $<NOT:$<CONFIG:Debug>>)
  foreach(target ${ARGN})
    target_compile_options(${target} PRIVATE $<${release}:-fstack-protector-strong>)
    if(NOT KQSER_SANITIZE)
      target_compile_options(${target} PRIVATE $<${release}:-U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=2>)
    endif()
    target_link_options(${target} PRIVATE $<${release}:LINKER:-z,relro,-z,now>)
  endforeach()
endfunction()
