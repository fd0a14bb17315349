# The fuzz targets: <name>_fuzz.cpp, seeds in corpus/<name>/, crash inputs
# kept in regressions/<name>/.
set(OSTREL_FUZZ_TARGETS cbor_parser cbor_decode delta_apply delta_roundtrip myers_limits activity_history delta_match delta_check)
