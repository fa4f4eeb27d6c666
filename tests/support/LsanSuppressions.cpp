// LeakSanitizer's suppressions for every test program: fontconfig keeps a cache for the life of
// the process, which Qt's fonts fill and nobody frees; libdbus keeps the session bus connection
// that Qt's X11 platform opens for as long, in the test that runs in a real X session. Leaks of
// our own code are still reported.
// Built as an object of each test program, since a static library member that nothing references
// would never be linked in.
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libfontconfig.so\n"
           "leak:libdbus-1.so\n";
}
