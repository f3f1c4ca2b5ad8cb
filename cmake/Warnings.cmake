# SPDX-License-Identifier: MIT
# Warnings and hardening shared by every target of the project.
add_compile_options(-Wall -Wextra -Wformat=2 -Wshadow -Wno-unused-parameter)
if(HWTRACK_WERROR)
  add_compile_options(-Werror)
endif()
if(HWTRACK_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=address,undefined)
endif()
