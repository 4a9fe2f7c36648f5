// The replays of the codec fuzz targets run with a ceiling on any single
// allocation (the largest image a decoder may build is 2^28 pixels of 4
// bytes) and on the process's memory: an input that asks for more fails
// the test instead of exhausting the machine.
extern "C" const char* __asan_default_options() {
  return "allocator_may_return_null=0:max_allocation_size_mb=1100:hard_rss_limit_mb=3000";
}
