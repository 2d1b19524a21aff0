// A tiny shared library for the dynamic-loading tests: one function and one object to
// look up, built once with a version note and once without.
extern "C" {
[[gnu::visibility("default")]] int zevaFixtureAnswer() { return 42; }
[[gnu::visibility("default")]] int zevaFixtureObject = 7;
}
