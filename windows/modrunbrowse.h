#pragma once

#include <QPointer>
#include <QString>

#include <cstdint>

class QWidget;

// Show commands in the numbering callers pass; the desktop's opener has no
// notion of them, so they only travel with the request.
inline constexpr std::int16_t kSwHide = 0;

// Hands a document or URL ("mailto:...", "https://...", a file path) to the
// desktop's opener. Nothing the desktop reports is examined.
void ShellOpen(QWidget* owner, const QString& document, std::int16_t showCommand);

struct ShellOpenRequest
{
    QPointer<QWidget> owner;
    QString document;
    std::int16_t showCommand = 0;
};

// The desktop's opener; tests install one that only records.
class DocumentOpener
{
public:
    virtual ~DocumentOpener() = default;
    virtual void open(const ShellOpenRequest& request) = 0;
};

// The opener in use: the desktop's, unless a test installed another.
DocumentOpener& documentOpener();
// Installs `opener` (not owned) in place of the desktop's; nullptr restores it.
void setDocumentOpener(DocumentOpener* opener);
