# Plug-ins for the tests that run the server as a process (tests/host): they
# talk to the test through files named in the environment, which a daemon
# inherits.
ombrevard_test_plugin(trace_file trace_file.c)
ombrevard_test_plugin(load_blocks load_blocks.c)
ombrevard_test_plugin(media_watch media_watch.c)
# Stalls delivery until the server's statistics count the stall.
ombrevard_test_plugin(stalls_once stalls_once.c)
target_link_libraries(stalls_once PRIVATE ${CMAKE_DL_LIBS})
# Hostile plug-ins: a relay loop, a producer that outruns everything, a slow
# sink, and one that writes to a closed pipe.
ombrevard_test_plugin(echo_loop echo_loop.c)
ombrevard_test_plugin(flood_reader flood_reader.c)
ombrevard_test_plugin(slow_sink slow_sink.c)
ombrevard_test_plugin(writes_closed_pipe writes_closed_pipe.c)
# Holds the delivery thread for a while in one IOCTL (the stall watchdog).
ombrevard_test_plugin(ioctl_sleeper ioctl_sleeper.c)
