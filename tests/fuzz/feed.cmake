# The feed's framing and message parser, fed raw bytes as a peer would send them.
if(TARGET kestrel_feedproto)
  kestrel_add_fuzzer(fuzz_feed ${CMAKE_CURRENT_SOURCE_DIR}/FuzzFeed.cpp kestrel_feedproto)
endif()
