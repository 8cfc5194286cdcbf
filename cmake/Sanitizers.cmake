if(VELMORA_SANITIZE STREQUAL "address")
  # The vptr check probes memory through a pipe; when a test exhausts the process's descriptors
  # on purpose, that probe fails and reports a valid object as invalid.
  add_compile_options(-fsanitize=address,undefined -fno-sanitize=vptr -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined -fno-sanitize-recover=all)
elseif(VELMORA_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT VELMORA_SANITIZE STREQUAL "none")
  message(FATAL_ERROR "VELMORA_SANITIZE must be none, address or thread")
endif()
