// A decoder library that lacks its whole-image entry point (tjDecompress2):
// the binding must refuse it rather than fail on the first picture.
extern "C" {
__attribute__((visibility("default"))) void* tjInitDecompress() {
    return nullptr;
}
__attribute__((visibility("default"))) int tjDestroy(void*) {
    return 0;
}
__attribute__((visibility("default"))) int tjDecompressHeader3(void*, const unsigned char*,
                                                               unsigned long, int*, int*, int*,
                                                               int*) {
    return -1;
}
}
