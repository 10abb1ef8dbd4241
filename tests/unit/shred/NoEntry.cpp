// A shred engine file without its entry point.
extern "C" __attribute__((visibility("default"))) int KestruneNothingHere() {
    return 0;
}
