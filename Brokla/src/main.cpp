// brokla: the connection manager daemon.
#include "BroklaService.h"

int main(int argc, char** argv) { return BroklaMain(argc, argv); }
