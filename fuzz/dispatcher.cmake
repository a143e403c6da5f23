# The packet dispatcher fuzzer: arbitrary packets and received counts through Dispatch
# and the HTTP client with scripted fakes. Seeds in corpus/dispatch/.
skiff_fuzzer(dispatch_fuzzer SOURCES dispatch_fuzzer.cpp LIBS skiff_protocol)
target_include_directories(dispatch_fuzzer PRIVATE ${PROJECT_SOURCE_DIR}/tests)
