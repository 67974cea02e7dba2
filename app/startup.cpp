int StartUp(int, char**) { return 0; }
