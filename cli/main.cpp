#include <clocale>

#include "command_line.h"

int main(int argc, char** argv) {
    // Every text of the program is in the code page of the process, as the window program's.
    std::setlocale(LC_ALL, "");
    return tarvex::RunCommandLine(argc, argv);
}
