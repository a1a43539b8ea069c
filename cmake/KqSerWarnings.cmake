# SPDX-License-Identifier: MIT
# Warning flags shared by the library, the tests and the tools.
add_library(kqser_warnings INTERFACE)
target_compile_options(kqser_warnings INTERFACE -Wall -Wextra)
if(KQSER_WERROR)
  target_compile_options(kqser_warnings INTERFACE -Werror)
endif()
