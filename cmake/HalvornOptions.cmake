# Warnings and sanitizers for every target of the project.
add_compile_options(-Wall -Wextra)
if(HALVORN_WERROR)
  # g++ 12 reports false -Wrestrict overlaps inside std::string when it
  # inlines deeply; they stay warnings.
  add_compile_options(-Werror)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    add_compile_options(-Wno-error=restrict)
  endif()
endif()

if(HALVORN_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(HALVORN_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT HALVORN_SANITIZE STREQUAL "")
  message(FATAL_ERROR "HALVORN_SANITIZE must be empty, 'address' or 'thread'")
endif()

if(HALVORN_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "The fuzz build needs clang: -DCMAKE_CXX_COMPILER=clang++")
  endif()
  # Everything is instrumented for coverage; only the fuzz targets link
  # libFuzzer's main. Undefined behaviour ends the run, so it is a finding.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

if(HALVORN_QUICK_CHECK)
  # The test command's builds are compiled once and run once, so compiling is
  # most of their time: -O1 with line tables only (sanitizer reports still
  # name file and line) compiles in about half the time of -O2 -g. The test
  # programs' own code goes further down (tests/CMakeLists.txt).
  set(CMAKE_CXX_FLAGS_RELWITHDEBINFO "-O1 -g1 -DNDEBUG")
endif()
