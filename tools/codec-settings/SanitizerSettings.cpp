// Under ThreadSanitizer: Qt's libraries and the system libraries under them (xcb, Xlib, D-Bus,
// GLib, fontconfig) are not instrumented, so the synchronisation inside them (event queues, the
// D-Bus and X11 threads, the locks Xlib takes through function pointers) is invisible and every
// hand-over between their threads looks like a race. The program's own code runs on the main
// thread only, so only calls made from instrumented code are checked.
#if defined(__SANITIZE_THREAD__)
extern "C" const char* __tsan_default_options() {
    return "ignore_noninstrumented_modules=1";
}
#endif
