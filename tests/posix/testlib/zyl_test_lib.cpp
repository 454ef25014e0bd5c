// A tiny shared library for the library loader's tests: found by bare name beside the tests.
extern "C" __attribute__((visibility("default"))) int ZylTestAnswer() { return 42; }
