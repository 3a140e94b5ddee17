#include "launcher/launcher.h"

int main(int argc, char** argv, char** envp) { return RealMain(argc, argv, envp); }
