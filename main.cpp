#include "startup.h"

int main(int argc, char** argv) { return tarvex::StartUp(argc, argv); }
