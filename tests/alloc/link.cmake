# alloc_tests: the SDK's packet path and the kernel's calls go through the
# counting wrappers of alloc_count.cc.
if(TARGET alloc_tests)
  set(alloc_wrapped
      PerfettoDsImplTraceIterateBegin PerfettoDsImplTraceIterateNext
      PerfettoDsTracerImplPacketBegin PerfettoDsTracerImplPacketEnd
      PerfettoStreamWriterUpdateWritePtr PerfettoStreamWriterNewChunk
      PerfettoStreamWriterAppendBytesSlowpath
      PerfettoStreamWriterAnnotatePatch
      PerfettoStreamWriterReserveBytesSlowpath
      sysctl sysctlbyname sysctlnametomib _Z12device_ioctlimPv)
  foreach(symbol ${alloc_wrapped})
    target_link_options(alloc_tests PRIVATE -Wl,--wrap=${symbol})
  endforeach()
endif()
