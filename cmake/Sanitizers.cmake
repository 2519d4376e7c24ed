# MATTIVO_SANITIZE=address (AddressSanitizer + UndefinedBehaviorSanitizer) or thread.
set(MATTIVO_SANITIZE "" CACHE STRING "address or thread")
if(MATTIVO_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
elseif(MATTIVO_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()
