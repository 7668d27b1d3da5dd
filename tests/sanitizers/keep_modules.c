/* Preloaded into the sanitizer runs: shared libraries stay mapped until the
 * process ends. Mesa unloads its software GL driver at exit, before the leak
 * check runs; its leaks would then be blamed on an unknown module and no
 * suppression could name them. */
int dlclose(void* handle) {
    (void)handle;
    return 0;
}
