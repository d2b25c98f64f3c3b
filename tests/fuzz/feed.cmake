# The feed's framing and message parser, fed raw bytes as a peer would send them, and the
# server's reading of a recorded folder.
if(TARGET kestrel_feedproto)
  kestrel_add_fuzzer(fuzz_feed ${CMAKE_CURRENT_SOURCE_DIR}/FuzzFeed.cpp kestrel_feedproto)
endif()
if(TARGET kestrel_feedserver)
  kestrel_add_fuzzer(fuzz_feed_folder ${CMAKE_CURRENT_SOURCE_DIR}/FuzzFeedFolder.cpp kestrel_feedserver)
endif()
