# Plug-ins for the tests that run the server as a process (tests/host): they
# talk to the test through files named in the environment, which a daemon
# inherits.
ombrevard_test_plugin(trace_file trace_file.c)
ombrevard_test_plugin(load_blocks load_blocks.c)
ombrevard_test_plugin(media_watch media_watch.c)
# A plug-in that writes to a closed pipe.
ombrevard_test_plugin(writes_closed_pipe writes_closed_pipe.c)
