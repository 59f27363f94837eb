// A program that only carries a version resource, for the version-text tests.
extern "C" int wmain(int, wchar_t**) {
    return 0;
}
