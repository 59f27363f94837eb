// A program that only carries a version resource (FIXTURE_VERSION).
int wmain() {
    return 0;
}
