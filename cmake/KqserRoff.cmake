# SPDX-License-Identifier: MIT
# Helpers of the scripts that write manual pages (KqserConfPage.cmake,
# tools/KqserDocs.cmake): include()d by both, in script mode.

# text as roff source: backslashes and hyphens escaped, a line that starts
# with . or ' kept from reading as a request.
function(roff out text)
  string(REPLACE "\\" "\\e" text "${text}")
  string(REPLACE "-" "\\-" text "${text}")
  string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()
