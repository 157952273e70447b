// The button poller's process: start-up, then the main event loop until told to quit.
#include "TarvelleButtonPoller.h"

int main(int argc, char* argv[]) {
    return ButtonPollerMain(argc, argv);
}
