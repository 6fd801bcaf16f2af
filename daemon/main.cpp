#include "CorvilinkDMain.h"

int main(int argc, char** argv) { return corvilink::DaemonMain(argc, argv); }
