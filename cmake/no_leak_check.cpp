// Linked into the window tests of an AddressSanitizer build: the toolkit keeps its caches
// until the process ends, which the leak check would report as leaks. ASAN_OPTIONS given
// at run time still overrides this. Visible, as the sanitizer's shared runtime looks it up.
extern "C" __attribute__((visibility("default"))) const char* __asan_default_options() {
  return "detect_leaks=0";
}
