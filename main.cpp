#include "core/startup.h"
#include "core/globals.h"
#include "platform/mci.h"
#include "platform/termsignals.h"
#include "windows/frmmain.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    // The sound server names our stream after this, so the operator can route
    // it to the radio's sound card once and have it remembered.
    if (qEnvironmentVariableIsEmpty("PULSE_PROP"))
        qputenv("PULSE_PROP", "application.name='Wren Voice Keyer' application.icon_name=wrenkeyer");

    QApplication app(argc, argv);
    QApplication::setApplicationName(kAppTitle);
    QApplication::setOrganizationName(QStringLiteral("WrenKeyer"));
    QApplication::setDesktopFileName(QStringLiteral("org.example.WrenKeyer"));
    QApplication::setQuitOnLastWindowClosed(false);

    if (!StartUp())
        return 0;
    // A signal takes the road of Exit: audio closed, line down, icon removed.
    installTerminationHandler([](int) { frmMain().mnuExit_Click(); });

    const int status = QApplication::exec();
    if (frmMain().isLoaded()) {
        gExitRequested = kTrue;
        frmMain().Unload();
    }
    shutdownAudio();
    return status;
}
