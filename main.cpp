#include "core/globals.h"
#include "core/startup.h"
#include "platform/mci.h"
#include "platform/termsignals.h"
#include "remote/commandline.h"
#include "remote/protocol.h"
#include "windows/frmmain.h"

#include <QApplication>
#include <QDir>
#include <QStringList>

#include <cstdio>

int main(int argc, char* argv[])
{
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const CommandLine command = parseCommandLine(arguments, QDir::currentPath());
    if (command.kind != CommandLine::Kind::Window) {
        // A request for the running keyer: no window, no question about another copy, no settings touched.
        QCoreApplication client(argc, argv);
        return runCommandLine(command, remoteSocketPath(), stdout, stderr);
    }

    QApplication app(argc, argv);
    // Before any sound: the sound server names our stream after it, so the
    // operator routes it to the radio's sound card once and it is remembered.
    QApplication::setApplicationName(kAppTitle);
    QApplication::setOrganizationName(QStringLiteral("WrenKeyer"));
    QApplication::setDesktopFileName(QStringLiteral("org.example.WrenKeyer"));
    QApplication::setQuitOnLastWindowClosed(false);

    // A signal takes the road of Exit: audio closed, line down, icon removed.
    // Before the main window exists there is nothing to release.
    installTerminationHandler([](int) {
        if (frmMain().isLoaded())
            frmMain().mnuExit_Click();
        else
            QCoreApplication::exit(0);
    });
    if (!StartUp())
        return 0;

    // Exit may already have been chosen while the start-up about box was up.
    const int status = gExitRequested == kTrue ? 0 : QApplication::exec();
    if (frmMain().isLoaded()) {
        gExitRequested = kTrue;
        frmMain().Unload();
    }
    releaseInstanceLock();
    // Ends without static destructors: the sound server's client must not be torn down after Qt's.
    exitAfterAudio(status);
}
