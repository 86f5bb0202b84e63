#include "modrunbrowse.h"

#include "core/service.h"

#include <QDesktopServices>
#include <QDir>
#include <QUrl>
#include <QWidget>

namespace {

QUrl toUrl(const QString& document)
{
    // A path without a scheme is a document on disk; anything else is taken as the URL it is.
    const QUrl url(document, QUrl::TolerantMode);
    if (url.scheme().isEmpty() || QDir::isAbsolutePath(document))
        return QUrl::fromLocalFile(QDir::current().absoluteFilePath(document));
    return url;
}

class DesktopOpener final : public DocumentOpener
{
public:
    void open(const ShellOpenRequest& request) override
    {
        // A desktop without a handler for the scheme fails quietly, as a shell request always has.
        QDesktopServices::openUrl(toUrl(request.document));
    }
};

ServiceSlot<DocumentOpener, DesktopOpener> gService;

} // namespace

DocumentOpener& documentOpener()
{
    return gService.get();
}

void setDocumentOpener(DocumentOpener* opener)
{
    gService.install(opener);
}

void ShellOpen(QWidget* owner, const QString& document, std::int16_t showCommand)
{
    documentOpener().open({owner, document, showCommand});
}
