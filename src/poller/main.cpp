// The button poller's process: start-up, then the main event loop until told to quit.
#include "TarvelleButtonPoller.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

static const char kUsage[] =
    "Usage: TarvelleButtonPoller [--help | --version]\n"
    "\n"
    "Gives the one-touch backup button and the capacity lights of the logged-in user's\n"
    "bridge drives their function. On a press it writes LaunchBackup into the folder\n"
    "\"For Button Manage\" of the Documents folder and opens the backup application named\n"
    "by \"AppName\" in ~/Library/Preferences/TotalMedia Backup.plist with it. Only one copy\n"
    "runs per user; it runs until it is told to quit (SIGTERM, SIGINT or SIGHUP).\n"
    "Any other argument is ignored.\n"
    "\n"
    "  --help     show this help and exit\n"
    "  --version  show the version and exit\n";

// An answer that never arrived (a full disk, a closed standard output) is a failure.
static int FinishAnswer(void) {
    const bool flushed = fflush(stdout) == 0;
    const int error = errno;
    if (flushed && !ferror(stdout))
        return 0;
    fprintf(stderr, "TarvelleButtonPoller: cannot write the output%s%s\n", flushed ? "" : ": ",
            flushed ? "" : strerror(error));
    return 1;
}

// Asked only what it is, the poller answers and starts nothing. Whatever else the session
// passes is ignored, as a Mac application ignores the arguments the system adds.
static bool AnswerInformationRequest(int argc, char* argv[]) {
    for (int i = 1; i < argc && strcmp(argv[i], "--") != 0; ++i) {
        if (strcmp(argv[i], "--help") == 0) {
            fputs(kUsage, stdout);
            return true;
        }
        if (strcmp(argv[i], "--version") == 0) {
            printf("TarvelleButtonPoller %s\n", TVB_VERSION);
            return true;
        }
    }
    return false;
}

int main(int argc, char* argv[]) {
    if (AnswerInformationRequest(argc, argv))
        return FinishAnswer();
    return ButtonPollerMain(argc, argv);
}
