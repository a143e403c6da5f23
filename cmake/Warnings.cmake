# Warning flags shared by every target of the project (not by third-party code).
add_library(skiff_warnings INTERFACE)
target_compile_options(skiff_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wcast-align
  -Woverloaded-virtual -Wnull-dereference -Wformat=2 -Wimplicit-fallthrough
  $<$<BOOL:${SKIFF_WERROR}>:-Werror>)
# The system's COM interfaces on Windows have public non-virtual destructors (objects are
# released, never deleted through them), so every interface implementation would warn.
if(WIN32)
  target_compile_options(skiff_warnings INTERFACE -Wno-non-virtual-dtor)
endif()
