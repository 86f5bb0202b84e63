#pragma once

#include <QList>
#include <QPointer>
#include <QString>

#include <cstdint>

class QWidget;

// Show commands in the numbering callers pass; the desktop's opener has no
// notion of them, so they only travel with the request.
inline constexpr std::int16_t kSwHide = 0;
inline constexpr std::int16_t kSwShowNormal = 1;

// Hands a document or URL ("mailto:...", "https://...", a file path) to the
// desktop's opener. Nothing the desktop reports is examined.
void ShellOpen(QWidget* owner, const QString& document, std::int16_t showCommand);

// The seam through which tests see what was handed to the desktop.
class ShellRequests
{
public:
    struct Request
    {
        QPointer<QWidget> owner;
        QString document;
        std::int16_t showCommand = 0;
    };
    // While scripted, ShellOpen records the request and opens nothing.
    static void setScripted(bool scripted);
    static bool scripted();
    // Every request, scripted or not, in order.
    static const QList<Request>& opened();
    static void reset();
};
