#include "cli/KestruneCli.h"

int main(int argc, char** argv) {
    kestrune::cli::KestruneCli program(argc, argv);
    return program.Run();
}
