#pragma once

#include <QList>
#include <QPair>
#include <QString>

class QWidget;

// Asks the operator for one existing file. `filter` lists description and
// pattern alternately, separated by "|" ("WAV  (*.wav)|*.wav|All  (*.*)|*.*");
// the first pair is selected. `defaultName`, when not blank, is preselected.
// Returns the chosen file's full path exactly as the system gives it (blanks,
// quotes and any letters kept), or "" when the operator cancelled.
QString ShowOpenFileDialog(QWidget* owner, const QString& filter, const QString& title, const QString& initialDir,
                           const QString& defaultName);

// Description and pattern pairs of a "|"-separated filter; a trailing "|" is optional.
QList<QPair<QString, QString>> parseFileFilter(const QString& filter);

// The seam through which tests answer the open-file dialog instead of a person.
class FileDialogs
{
public:
    struct Asked
    {
        QString title;
        QList<QPair<QString, QString>> filters;
        int selectedFilter = 0; // index into filters
        QString folder;
        QString defaultName;
        bool existingOnly = true;
    };
    // While scripted, ShowOpenFileDialog shows nothing: it records the request
    // and returns the next queued answer, or "" (cancel) when none is queued.
    static void setScripted(bool scripted);
    static bool scripted();
    // Queues an answer and makes the dialog scripted.
    static void setNextFile(const QString& path);
    static void setNextCancel();
    static QList<Asked>& asked();
    // Forgets answers and requests and shows real dialogs again.
    static void reset();
};
