# Sanitizer flags, applied to the whole build so that every library agrees.
if(SKIFF_SANITIZE)
  add_compile_options(-fsanitize=${SKIFF_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${SKIFF_SANITIZE})
endif()

# Fuzz builds instrument every library for coverage, not only the fuzzer's own file.
if(SKIFF_BUILD_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()
