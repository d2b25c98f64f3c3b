# The stored grid properties of window descriptions.
kestrel_add_fuzzer(fuzz_component_stream ${CMAKE_CURRENT_SOURCE_DIR}/FuzzComponentStream.cpp
  kestrel_stream)
