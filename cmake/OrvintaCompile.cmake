# Compiler settings shared by every target of the project.

if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
  add_compile_options(-Wall -Wextra -Wshadow -fno-exceptions)
  # The sanitizer tree turns every report into a failure instead of a warning on stderr.
  if(ORVINTA_SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined -fno-sanitize-recover=all)
  endif()
endif()

# Release builds are reproducible: no absolute source paths in assertion texts or debug info.
if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
  add_compile_options("-ffile-prefix-map=${PROJECT_SOURCE_DIR}=.")
endif()
