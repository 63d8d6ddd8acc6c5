#include "tools/packer/packer_main.h"

int main(int argc, char** argv) { return umbra::packer_main(argc, argv); }
