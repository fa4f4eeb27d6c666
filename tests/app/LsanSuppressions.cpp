// LeakSanitizer's suppressions for this test program: fontconfig keeps a cache for the life of
// the process, which Qt's fonts fill and nobody frees. Leaks of our own code are still reported.
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libfontconfig.so\n";
}
