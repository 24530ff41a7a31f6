// Leak reports that are not ours: fontconfig keeps its caches for the life of the process and Qt never asks
// it to free them. Read by LeakSanitizer at exit in sanitizer builds; an unused function otherwise.

extern "C" const char* __lsan_default_suppressions();
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
