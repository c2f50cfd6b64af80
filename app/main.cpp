#include "app/Dispatch.h"

int main(int argc, char** argv) { return updater_main(argc, argv); }
