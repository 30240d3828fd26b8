# The asan preset instruments everything we build; the fuzz preset adds libFuzzer
# coverage to the libraries and links the fuzzer runtime into the targets only;
# the tsan preset instruments what the concurrency tests link.
if(DOVADOD_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
if(DOVADOD_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
if(DOVADOD_TSAN)
  # -Wno-tsan: the queue library's stand-alone fences are outside what the
  # race detector models; g++ says so for every file that includes it. Those
  # fences sit beside atomics that the detector does see.
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer -Wno-tsan)
  add_link_options(-fsanitize=thread)
endif()
