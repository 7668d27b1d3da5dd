int main() { return 0; }  // replaced by the UI entry point
