int StartUp(int, char**);
int main(int argc, char** argv) { return StartUp(argc, argv); }
