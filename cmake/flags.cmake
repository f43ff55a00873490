# Warnings are errors everywhere; sanitizers and size options by preset.
add_compile_options(-Wall -Wextra -Werror)

if(TSH_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(TSH_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT TSH_SANITIZE STREQUAL "")
  message(FATAL_ERROR "TSH_SANITIZE must be empty, address or thread")
endif()

if(CMAKE_BUILD_TYPE STREQUAL "MinSizeRel")
  add_compile_options(-ffunction-sections -fdata-sections)
  add_link_options(-Wl,--gc-sections -s)
endif()
