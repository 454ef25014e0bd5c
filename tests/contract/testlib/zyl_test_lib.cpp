// A tiny shared library for the library loaders' contract: found by bare name beside the tests.
extern "C" __attribute__((visibility("default"))) int ZylTestAnswer() { return 42; }
