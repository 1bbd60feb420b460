#include "cli/cli.h"

int main(int argc, char** argv) { return RunHalvoReaders(argc, argv); }
