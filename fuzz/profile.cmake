# The INI profile reader and writer: any settings file must read without a fault, and a
# write must change only its own entry. Seeds in corpus/profile/.
skiff_fuzzer(profile_fuzzer SOURCES profile_fuzzer.cpp LIBS skiff_posix_app)
