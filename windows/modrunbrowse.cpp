#include "modrunbrowse.h"

#include <QDesktopServices>
#include <QDir>
#include <QUrl>
#include <QWidget>

namespace {

bool gScripted = false;
QList<ShellRequests::Request> gOpened;

QUrl toUrl(const QString& document)
{
    // A path without a scheme is a document on disk; anything else is taken as the URL it is.
    const QUrl url(document, QUrl::TolerantMode);
    if (url.scheme().isEmpty() || QDir::isAbsolutePath(document))
        return QUrl::fromLocalFile(QDir::current().absoluteFilePath(document));
    return url;
}

} // namespace

void ShellOpen(QWidget* owner, const QString& document, std::int16_t showCommand)
{
    gOpened.append({owner, document, showCommand});
    if (gScripted)
        return;
    // A desktop without a handler for the scheme fails quietly, as a shell request always has.
    QDesktopServices::openUrl(toUrl(document));
}

void ShellRequests::setScripted(bool scripted)
{
    gScripted = scripted;
}

bool ShellRequests::scripted()
{
    return gScripted;
}

const QList<ShellRequests::Request>& ShellRequests::opened()
{
    return gOpened;
}

void ShellRequests::reset()
{
    gOpened.clear();
}
