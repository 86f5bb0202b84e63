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

struct OpenFileRequest
{
    QString title;
    QList<QPair<QString, QString>> filters;
    int selectedFilter = 0; // index into filters
    QString folder;
    QString defaultName;
};

// The open-file dialog a person answers; tests install one that answers from a script.
class FileChooser
{
public:
    virtual ~FileChooser() = default;
    // The chosen file's full path, or "" when the operator cancelled.
    virtual QString openFile(QWidget* owner, const OpenFileRequest& request) = 0;
};

// The chooser in use: Qt's dialog, unless a test installed another.
FileChooser& fileChooser();
// Installs `chooser` (not owned) in place of the dialog; nullptr restores it.
void setFileChooser(FileChooser* chooser);
