# MATTIVO_SANITIZE=address (AddressSanitizer + UndefinedBehaviorSanitizer) or thread.
set(MATTIVO_SANITIZE "" CACHE STRING "address or thread")
if(MATTIVO_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
elseif(MATTIVO_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()

# MATTIVO_FUZZ=ON (with clang): everything is built for libFuzzer's coverage,
# under AddressSanitizer and UndefinedBehaviorSanitizer; fuzz/ adds the targets.
option(MATTIVO_FUZZ "Build the libFuzzer targets (clang)" OFF)
if(MATTIVO_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
