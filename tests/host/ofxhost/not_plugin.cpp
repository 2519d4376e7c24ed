// A shared library that is not an OpenFX plug-in: it exports neither entry point.
extern "C" __attribute__((visibility("default"))) int host_test_not_a_plugin() { return 42; }
