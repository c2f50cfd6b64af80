if(TV_SANITIZE STREQUAL "address")
  set(TV_SAN_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
elseif(TV_SANITIZE STREQUAL "thread")
  set(TV_SAN_FLAGS -fsanitize=thread -fno-omit-frame-pointer)
elseif(TV_SANITIZE STREQUAL "fuzz")
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "TV_SANITIZE=fuzz needs Clang (libFuzzer)")
  endif()
  # The harnesses add libFuzzer's main at link time (fuzz/CMakeLists.txt).
  # -O1: several times the executions per second of -O0, stacks still readable.
  set(TV_SAN_FLAGS -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer -O1)
elseif(NOT TV_SANITIZE STREQUAL "")
  message(FATAL_ERROR "TV_SANITIZE must be address, thread, fuzz or empty")
endif()

if(TV_SAN_FLAGS)
  add_compile_options(${TV_SAN_FLAGS})
  add_link_options(${TV_SAN_FLAGS})
endif()
