# Sanitizer and fuzzing switches. Each is one configure option away:
#   -DQN_SANITIZE_ADDRESS=ON   AddressSanitizer + UndefinedBehaviorSanitizer
#   -DQN_SANITIZE_THREAD=ON    ThreadSanitizer
#   -DQN_FUZZ=ON               libFuzzer targets (clang only), with ASan + UBSan
include(CheckCXXSourceCompiles)

# Stops the configuration unless the compiler and linker accept the flags (a list).
function(qn_require_flag flags)
  list(JOIN flags " " joined)
  set(CMAKE_REQUIRED_FLAGS "${joined}")
  set(CMAKE_REQUIRED_LINK_OPTIONS ${flags})
  string(MAKE_C_IDENTIFIER "QN_HAS_${joined}" var)
  check_cxx_source_compiles("int main(){return 0;}" ${var})
  if(NOT ${var})
    message(FATAL_ERROR "The compiler does not accept ${joined}")
  endif()
endfunction()

if(QN_SANITIZE_ADDRESS AND QN_SANITIZE_THREAD)
  message(FATAL_ERROR "QN_SANITIZE_ADDRESS and QN_SANITIZE_THREAD cannot be combined")
endif()

set(QN_SANITIZER_FLAGS "")
if(QN_SANITIZE_ADDRESS OR QN_FUZZ)
  set(QN_SANITIZER_FLAGS "-fsanitize=address,undefined;-fno-sanitize-recover=undefined;-fno-omit-frame-pointer")
elseif(QN_SANITIZE_THREAD)
  set(QN_SANITIZER_FLAGS "-fsanitize=thread;-fno-omit-frame-pointer")
  # What every test runs with (the C++ programs and the interpreters alike).
  set(QN_TSAN_OPTIONS "suppressions=${PROJECT_SOURCE_DIR}/tests/support/tsan.supp")
endif()
if(QN_SANITIZER_FLAGS)
  qn_require_flag("${QN_SANITIZER_FLAGS}")
  add_compile_options(${QN_SANITIZER_FLAGS})
  add_link_options(${QN_SANITIZER_FLAGS})
endif()
if(QN_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "QN_FUZZ needs clang: configure with -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang")
  endif()
  qn_require_flag("-fsanitize=fuzzer-no-link")
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()
